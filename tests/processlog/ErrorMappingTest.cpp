#include <gtest/gtest.h>

#include "ProcessLogTestSupport.h"

using namespace processlog_test;

namespace {

// {3F2A6B10-8C4D-4E5F-9A1B-2C3D4E5F6071}
const GUID kLibraryGuid = {0x3f2a6b10, 0x8c4d, 0x4e5f, {0x9a, 0x1b, 0x2c, 0x3d, 0x4e, 0x5f, 0x60, 0x71}};
// {3F2A6B11-8C4D-4E5F-9A1B-2C3D4E5F6071}
const IID kIidA = {0x3f2a6b11, 0x8c4d, 0x4e5f, {0x9a, 0x1b, 0x2c, 0x3d, 0x4e, 0x5f, 0x60, 0x71}};
// {3F2A6B12-8C4D-4E5F-9A1B-2C3D4E5F6071}
const IID kIidB = {0x3f2a6b12, 0x8c4d, 0x4e5f, {0x9a, 0x1b, 0x2c, 0x3d, 0x4e, 0x5f, 0x60, 0x71}};

class ProcessLogErrorMapping : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(S_OK, CreateProcessLog(log_.out())); }

    HRESULT Encode(HRESULT number, GUID error_guid, const IID& iid) {
        HRESULT hr = 0x12345678;
        EXPECT_EQ(S_OK, log_->EncodeError(number, &error_guid, iid, &hr));
        return hr;
    }
    std::pair<GUID, HRESULT> Decode(HRESULT hr, GUID record_guid) {
        GUID guid = kIidB;
        LONG number = 0x12345678;
        EXPECT_EQ(S_OK, log_->DecodeError(hr, &record_guid, &guid, &number));
        return {guid, number};
    }

    ComApartment com_;
    Ref<IProcessLog> log_;
};

TEST_F(ProcessLogErrorMapping, UniversalCodesPassThrough) {
    // Not interface-specific: other facilities, successes, and COM's own
    // FACILITY_ITF codes below 0x200 (REGDB_E_CLASSNOTREG).
    for (HRESULT code : {E_FAIL, HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED), S_OK, S_FALSE, REGDB_E_CLASSNOTREG,
                         static_cast<HRESULT>(0x00040202)}) {
        EXPECT_EQ(code, Encode(code, kLibraryGuid, kIidA));
        auto back = Decode(code, kLibraryGuid);
        EXPECT_TRUE(IsEqualGUID(GUID_NULL, back.first)) << std::hex << code;
        EXPECT_EQ(code, back.second);
    }
}

TEST_F(ProcessLogErrorMapping, InterfaceOwnCodesStay) {
    const HRESULT code = 0x80040300;
    EXPECT_EQ(code, Encode(code, kIidA, kIidA));
    // Without an owner the code is taken as the interface's own.
    EXPECT_EQ(code, Encode(code, GUID_NULL, kIidA));
    auto back = Decode(code, kIidA);
    EXPECT_TRUE(IsEqualGUID(kIidA, back.first));
    EXPECT_EQ(code, back.second);
    // A null GUID pointer reads as GUID_NULL.
    HRESULT hr = 0;
    EXPECT_EQ(S_OK, log_->EncodeError(code, nullptr, kIidB, &hr));
    EXPECT_EQ(code, hr);
}

TEST_F(ProcessLogErrorMapping, ForeignCodesRoundTripPerInterface) {
    const HRESULT std_error = 0x80040202, fault = 0x80040266;
    HRESULT a = Encode(std_error, kLibraryGuid, kIidA);
    HRESULT a2 = Encode(fault, kLibraryGuid, kIidA);
    HRESULT b = Encode(std_error, kLibraryGuid, kIidB);
    for (HRESULT hr : {a, a2, b}) {
        EXPECT_LT(hr, 0);
        EXPECT_EQ(FACILITY_ITF, HRESULT_FACILITY(hr));
        EXPECT_GE(HRESULT_CODE(hr), 0x200);
    }
    EXPECT_NE(std_error, a);
    EXPECT_NE(a, a2);
    EXPECT_NE(a, b);
    // Stable: the same error through the same interface maps the same way.
    EXPECT_EQ(a, Encode(std_error, kLibraryGuid, kIidA));

    auto back = Decode(a, kIidA);
    EXPECT_TRUE(IsEqualGUID(kLibraryGuid, back.first));
    EXPECT_EQ(std_error, back.second);
    back = Decode(a2, kIidA);
    EXPECT_EQ(fault, back.second);
    back = Decode(b, kIidB);
    EXPECT_TRUE(IsEqualGUID(kLibraryGuid, back.first));
    EXPECT_EQ(std_error, back.second);

    // Read against another interface the code is that interface's own.
    back = Decode(a, kIidB);
    EXPECT_TRUE(IsEqualGUID(kIidB, back.first));
    EXPECT_EQ(a, back.second);

    // Re-expressing a re-expressed error again yields the same code.
    back = Decode(a, kIidA);
    EXPECT_EQ(a, Encode(back.second, back.first, kIidA));
}

}  // namespace
