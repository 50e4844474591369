#include <gtest/gtest.h>

#include <thread>
#include "ProcessLogTestSupport.h"

using namespace processlog_test;

namespace {

// {9B1C7E20-51A4-4F0B-A3C2-6D7E8F901234}
const GUID kErrorGuid = {0x9b1c7e20, 0x51a4, 0x4f0b, {0xa3, 0xc2, 0x6d, 0x7e, 0x8f, 0x90, 0x12, 0x34}};

struct RecordValues {
    std::wstring source, description, help_file;
    GUID guid = GUID_NULL;
    DWORD help_context = 0;
    bool has_description = false;
};

RecordValues Read(IErrorInfo* record) {
    RecordValues v;
    Text source, description, help_file;
    EXPECT_EQ(S_OK, record->GetSource(source.out()));
    EXPECT_EQ(S_OK, record->GetGUID(&v.guid));
    EXPECT_EQ(S_OK, record->GetDescription(description.out()));
    EXPECT_EQ(S_OK, record->GetHelpFile(help_file.out()));
    EXPECT_EQ(S_OK, record->GetHelpContext(&v.help_context));
    v.source = source.str();
    v.description = description.str();
    v.has_description = description.get() != nullptr;
    v.help_file = help_file.str();
    return v;
}

class ProcessLogErrors : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(S_OK, CreateProcessLog(log_.out())); }

    ComApartment com_;
    TestLogFile file_;
    Ref<IProcessLog> log_;
};

TEST_F(ProcessLogErrors, CreateErrorRecordCarriesTheValues) {
    Text source(L"Zorvan.test"), help(L"C:\\help\\zorvan.chm");
    Ref<IErrorInfo> record;
    ASSERT_EQ(S_OK, log_->CreateErrorRecord(source.get(), 0x80040202, kErrorGuid, L"what \u00e4 happened",
                                            help.get(), 4711, record.out()));
    RecordValues v = Read(record.get());
    EXPECT_EQ(L"Zorvan.test", v.source);
    EXPECT_TRUE(IsEqualGUID(kErrorGuid, v.guid));
    EXPECT_EQ(L"what \u00e4 happened", v.description);
    EXPECT_EQ(L"C:\\help\\zorvan.chm", v.help_file);
    EXPECT_EQ(4711u, v.help_context);

    ASSERT_EQ(S_OK, log_->CreateErrorRecord(source.get(), E_FAIL, GUID_NULL, nullptr, nullptr, 0, record.out()));
    v = Read(record.get());
    EXPECT_EQ(L"Zorvan.test", v.source);
    EXPECT_TRUE(IsEqualGUID(GUID_NULL, v.guid));
    EXPECT_EQ(L"", v.description);
    EXPECT_EQ(L"", v.help_file);
    EXPECT_EQ(0u, v.help_context);
}

TEST_F(ProcessLogErrors, PackedErrorCrossesThreads) {
    Text source(L"Zorvan.test"), help(L"help.chm");
    Ref<IErrorInfo> record;
    ASSERT_EQ(S_OK, log_->CreateErrorRecord(source.get(), 0x80040266, kErrorGuid, L"line one\r\nline two",
                                            help.get(), 7, record.out()));
    // Packed on a single-threaded apartment that is gone before the error is unpacked.
    IUnknown* packed = nullptr;
    std::thread packer([&] {
        ComApartment sta(COINIT_APARTMENTTHREADED);
        EXPECT_EQ(S_OK, log_->PackError(0x80040266, record.get(), &packed));
    });
    packer.join();
    ASSERT_NE(nullptr, packed);
    record.reset();

    HRESULT hr = S_OK;
    Ref<IErrorInfo> unpacked;
    std::thread unpacker([&] {
        ComApartment mta;
        EXPECT_EQ(S_OK, log_->UnpackError(packed, &hr, unpacked.out()));
        packed->Release();
    });
    unpacker.join();
    EXPECT_EQ(static_cast<HRESULT>(0x80040266), hr);
    ASSERT_TRUE(unpacked);
    RecordValues v = Read(unpacked.get());
    EXPECT_EQ(L"Zorvan.test", v.source);
    EXPECT_TRUE(IsEqualGUID(kErrorGuid, v.guid));
    EXPECT_EQ(L"line one\r\nline two", v.description);
    EXPECT_EQ(L"help.chm", v.help_file);
    EXPECT_EQ(7u, v.help_context);
}

TEST_F(ProcessLogErrors, PackWithoutRecordAndForeignObjects) {
    Ref<IUnknown> packed;
    ASSERT_EQ(S_OK, log_->PackError(E_ACCESSDENIED, nullptr, packed.out()));
    HRESULT hr = S_OK;
    Ref<IErrorInfo> record;
    ASSERT_EQ(S_OK, log_->UnpackError(packed.get(), &hr, record.out()));
    EXPECT_EQ(E_ACCESSDENIED, hr);
    EXPECT_FALSE(record);

    // Anything PackError did not make is refused, with the component's own record.
    EXPECT_EQ(E_INVALIDARG, log_->UnpackError(log_.get(), &hr, record.out()));
    Ref<ISupportErrorInfo> support;
    ASSERT_EQ(S_OK, log_->QueryInterface(IID_ISupportErrorInfo, support.out_void()));
    EXPECT_EQ(S_OK, support->InterfaceSupportsErrorInfo(IID_IProcessLog));
    Ref<IErrorInfo> own;
    ASSERT_EQ(S_OK, GetErrorInfo(0, own.out()));
    GUID guid = GUID_NULL, component = GUID_NULL;
    own->GetGUID(&guid);
    log_->get_ComponentErrorGuid(&component);
    EXPECT_TRUE(IsEqualGUID(component, guid));
}

TEST_F(ProcessLogErrors, ReportErrorWritesOneEntryUnlessSwitchedOff) {
    Text source(L"Zorvan.reporter");
    Ref<IErrorInfo> record;
    ASSERT_EQ(S_OK, log_->CreateErrorRecord(source.get(), 0x80040202, kErrorGuid, L"bad thing\r\nat frame 1",
                                            nullptr, 0, record.out()));
    ASSERT_EQ(S_OK, log_->ReportError(0x80040202, record.get()));

    LONG on = -1;
    ASSERT_EQ(S_OK, log_->SetReportSwitch(0));
    log_->get_ReportSwitch(&on);
    EXPECT_EQ(0, on);
    ASSERT_EQ(S_OK, log_->ReportError(0x80040203, record.get()));
    // The switch belongs to the thread that turned it: others still report.
    std::thread other([&] { EXPECT_EQ(S_OK, log_->ReportError(0x80040204, record.get())); });
    other.join();
    ASSERT_EQ(S_OK, log_->SetReportSwitch(1));
    log_->get_ReportSwitch(&on);
    EXPECT_EQ(1, on);
    ASSERT_EQ(S_OK, log_->ReportError(E_OUTOFMEMORY, nullptr));

    std::vector<std::string> lines = file_.lines();
    ASSERT_EQ(5u, lines.size());
    EXPECT_NE(std::string::npos,
              lines[0].find(" 2 Zorvan.reporter " + std::to_string(GetCurrentThreadId()) +
                            " 0x80040202 {9B1C7E20-51A4-4F0B-A3C2-6D7E8F901234}: bad thing"))
        << lines[0];
    EXPECT_EQ("\tat frame 1", lines[1]);
    EXPECT_NE(std::string::npos, lines[2].find(" 0x80040204 ")) << lines[2];
    EXPECT_EQ(std::string::npos, lines[2].find(" " + std::to_string(GetCurrentThreadId()) + " ")) << lines[2];
    EXPECT_EQ("\tat frame 1", lines[3]);
    // No record: the component names itself as the source.
    EXPECT_NE(std::string::npos, lines[4].find(" 2 Zorvanworks.ProcessLog ")) << lines[4];
    EXPECT_NE(std::string::npos, lines[4].find("0x8007000E")) << lines[4];
    LONG reported = 0;
    log_->get_ErrorsReported(&reported);
    EXPECT_EQ(3, reported);
}

}  // namespace
