#include <gtest/gtest.h>
#include <atlbase.h>
#include <thread>
#include "ProcessLogTestSupport.h"

using namespace processlog_test;

namespace {

// {9B1C7E20-51A4-4F0B-A3C2-6D7E8F901234}
const GUID kErrorGuid = {0x9b1c7e20, 0x51a4, 0x4f0b, {0xa3, 0xc2, 0x6d, 0x7e, 0x8f, 0x90, 0x12, 0x34}};

class ProcessLogErrors : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(S_OK, CreateProcessLog(&log_)); }

    ComApartment com_;
    TestLogFile file_;
    ATL::CComPtr<IProcessLog> log_;
};

TEST_F(ProcessLogErrors, PackedErrorCrossesThreadsWithEveryValue)
{
    ATL::CComPtr<IErrorInfo> record;
    ASSERT_EQ(S_OK, log_->CreateErrorRecord(ATL::CComBSTR(L"Zorvan.test"), 0x80040266, kErrorGuid,
                                            L"line one\r\nline \u00e4", ATL::CComBSTR(L"help.chm"), 7, &record));
    // Packed on a single-threaded apartment that is gone before the error is unpacked.
    IUnknown* packed = nullptr;
    std::thread packer([&] {
        ComApartment sta(COINIT_APARTMENTTHREADED);
        EXPECT_EQ(S_OK, log_->PackError(0x80040266, record, &packed));
    });
    packer.join();
    ASSERT_NE(nullptr, packed);
    record.Release();

    HRESULT hr = S_OK;
    std::thread unpacker([&] {
        ComApartment mta;
        EXPECT_EQ(S_OK, log_->UnpackError(packed, &hr, &record));
        packed->Release();
    });
    unpacker.join();
    EXPECT_EQ(static_cast<HRESULT>(0x80040266), hr);
    ASSERT_TRUE(record);
    ATL::CComBSTR source, description, help_file;
    GUID guid = GUID_NULL;
    DWORD help_context = 0;
    record->GetSource(&source);
    record->GetDescription(&description);
    record->GetHelpFile(&help_file);
    record->GetGUID(&guid);
    record->GetHelpContext(&help_context);
    EXPECT_STREQ(L"Zorvan.test", source);
    EXPECT_STREQ(L"line one\r\nline \u00e4", description);
    EXPECT_STREQ(L"help.chm", help_file);
    EXPECT_TRUE(IsEqualGUID(kErrorGuid, guid));
    EXPECT_EQ(7u, help_context);
}

TEST_F(ProcessLogErrors, ReportErrorWritesOneEntryUnlessSwitchedOffOnThisThread)
{
    ATL::CComPtr<IErrorInfo> record;
    ASSERT_EQ(S_OK, log_->CreateErrorRecord(ATL::CComBSTR(L"Zorvan.reporter"), 0x80040202, kErrorGuid,
                                            L"bad thing\r\nat frame 1", nullptr, 0, &record));
    ASSERT_EQ(S_OK, log_->ReportError(0x80040202, record));
    ASSERT_EQ(S_OK, log_->SetReportSwitch(0));
    ASSERT_EQ(S_OK, log_->ReportError(0x80040203, record));
    // The switch belongs to the thread that turned it: others still report.
    std::thread other([&] { EXPECT_EQ(S_OK, log_->ReportError(0x80040204, record)); });
    other.join();
    ASSERT_EQ(S_OK, log_->SetReportSwitch(1));
    ASSERT_EQ(S_OK, log_->ReportError(E_OUTOFMEMORY, nullptr));

    const std::string me = " " + std::to_string(GetCurrentThreadId()) + " ";
    std::vector<std::string> lines = file_.lines();
    ASSERT_EQ(5u, lines.size());
    EXPECT_NE(std::string::npos,
              lines[0].find(" 2 Zorvan.reporter" + me + "0x80040202 {9B1C7E20-51A4-4F0B-A3C2-6D7E8F901234}: bad thing"))
        << lines[0];
    EXPECT_EQ("\tat frame 1", lines[1]);
    EXPECT_NE(std::string::npos, lines[2].find(" 0x80040204 ")) << lines[2];
    EXPECT_EQ(std::string::npos, lines[2].find(me)) << lines[2];
    // No record: the component names itself as the source.
    EXPECT_NE(std::string::npos, lines[4].find(" 2 Zorvanworks.ProcessLog" + me + "0x8007000E")) << lines[4];
    LONG reported = 0;
    log_->get_ErrorsReported(&reported);
    EXPECT_EQ(3, reported);
}

}  // namespace
