#include <gtest/gtest.h>
#include <atlbase.h>
#include "ProcessLogTestSupport.h"

using namespace processlog_test;

namespace {

// {3F2A6B10-8C4D-4E5F-9A1B-2C3D4E5F6071}
const GUID kLibrary = {0x3f2a6b10, 0x8c4d, 0x4e5f, {0x9a, 0x1b, 0x2c, 0x3d, 0x4e, 0x5f, 0x60, 0x71}};
// {3F2A6B11-8C4D-4E5F-9A1B-2C3D4E5F6071}
const IID kIidA = {0x3f2a6b11, 0x8c4d, 0x4e5f, {0x9a, 0x1b, 0x2c, 0x3d, 0x4e, 0x5f, 0x60, 0x71}};
// {3F2A6B12-8C4D-4E5F-9A1B-2C3D4E5F6071}
const IID kIidB = {0x3f2a6b12, 0x8c4d, 0x4e5f, {0x9a, 0x1b, 0x2c, 0x3d, 0x4e, 0x5f, 0x60, 0x71}};

class ProcessLogErrorMapping : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(S_OK, CreateProcessLog(&log_)); }

    HRESULT Encode(HRESULT number, GUID owner, const IID& iid)
    {
        HRESULT hr = 0x12345678;
        EXPECT_EQ(S_OK, log_->EncodeError(number, &owner, iid, &hr));
        return hr;
    }
    // The owner GUID and the number, checked against the expected pair.
    void ExpectDecoded(HRESULT hr, GUID record_guid, const GUID& owner, HRESULT number)
    {
        GUID guid = kIidB;
        LONG n = 0x12345678;
        EXPECT_EQ(S_OK, log_->DecodeError(hr, &record_guid, &guid, &n));
        EXPECT_TRUE(IsEqualGUID(owner, guid)) << std::hex << hr;
        EXPECT_EQ(number, n) << std::hex << hr;
    }

    ComApartment com_;
    ATL::CComPtr<IProcessLog> log_;
};

TEST_F(ProcessLogErrorMapping, ForeignCodesRoundTripPerInterface)
{
    const HRESULT std_error = 0x80040202, fault = 0x80040266;
    const HRESULT a = Encode(std_error, kLibrary, kIidA), a2 = Encode(fault, kLibrary, kIidA),
                  b = Encode(std_error, kLibrary, kIidB);
    for (HRESULT hr : {a, a2, b}) {
        EXPECT_LT(hr, 0);
        EXPECT_EQ(FACILITY_ITF, HRESULT_FACILITY(hr));
        EXPECT_GE(HRESULT_CODE(hr), 0x200);
    }
    EXPECT_NE(std_error, a);
    EXPECT_NE(a, a2);
    EXPECT_NE(a, b);
    EXPECT_EQ(a, Encode(std_error, kLibrary, kIidA)) << "the same pair through the same interface, the same code";

    ExpectDecoded(a, kIidA, kLibrary, std_error);
    ExpectDecoded(a2, kIidA, kLibrary, fault);
    ExpectDecoded(b, kIidB, kLibrary, std_error);
    // Read against another interface the code is that interface's own.
    ExpectDecoded(a, kIidB, kIidB, a);
    // Other facilities, successes and COM's own FACILITY_ITF codes below
    // 0x200 mean the same everywhere: they pass through.
    for (HRESULT code : {E_FAIL, HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED), S_FALSE, REGDB_E_CLASSNOTREG,
                         static_cast<HRESULT>(0x00040202)}) {
        EXPECT_EQ(code, Encode(code, kLibrary, kIidA));
        ExpectDecoded(code, kLibrary, GUID_NULL, code);
    }
    // So do an interface's own codes, also without an owner or with a null owner pointer.
    const HRESULT own = 0x80040300;
    EXPECT_EQ(own, Encode(own, kIidA, kIidA));
    EXPECT_EQ(own, Encode(own, GUID_NULL, kIidA));
    HRESULT hr = 0;
    EXPECT_EQ(S_OK, log_->EncodeError(own, nullptr, kIidB, &hr));
    EXPECT_EQ(own, hr);
    ExpectDecoded(own, kIidA, kIidA, own);
}

}  // namespace
