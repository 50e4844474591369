// The plug-in in a host's tab against a rank service that misbehaves: what
// each kind of failure leaves in the status bar and the host, that the
// browser's window thread never waits for the network, and that the next
// page is ranked once the service is healthy again.
#include "support/PluginHost.h"
#include "support/scripted_server.h"
#include "vpk/handle.h"
#include <functional>
#include <memory>

namespace {

std::string Body(const std::string& result_member)
{
    return "{\"version\":\"1.0\",\"code\":0,\"id\":1,\"result\":" + result_member + ",\"error\":null}";
}
std::string RankBody(const std::string& rank) { return Body("\"" + rank + "\""); }

ServerScript Answer(const std::string& body) { return {false, false, {{0, ScriptedServer::head(body.size()) + "\r\n" + body}}}; }

// The answer in two sends 300 ms apart, cut before or after the empty line's
// last CR LF.
ServerScript Split(bool before_the_empty_line)
{
    const std::string body = RankBody("1,234"), head = ScriptedServer::head(body.size());
    return {false, false, before_the_empty_line ? std::vector<ServerScript::Send>{{0, head}, {300, "\r\n" + body}}
                                                : std::vector<ServerScript::Send>{{0, head + "\r\n"}, {300, body}}};
}

ServerScript NulInBody()
{
    std::string body = RankBody("1,234");
    body.insert(body.size() / 2, 1, '\0');
    return Answer(body);
}

struct Case {
    const char* name;
    bool listening;       // false: nothing on the address
    ServerScript script;
    bool reads_request;   // the service gets to read the request
    const wchar_t* rank;  // published rank, or null for "No rank"
};

const Case kCases[] = {
    {"Healthy", true, Answer(RankBody("1,234")), true, L"1,234"},
    {"NothingListening", false, {}, false, nullptr},
    {"RefusesEveryConnection", true, {true, false, {}}, false, nullptr},
    {"StallsPastTheCallTimeOut", true, {false, true, {}}, true, nullptr},
    {"ClosesBeforeAnswering", true, {}, true, nullptr},
    {"BodyAfterTheHeaderBlock", true, Split(false), true, nullptr},
    {"EmptyLineAcrossTwoSends", true, Split(true), true, L"1,234"},
    {"NulInTheBody", true, NulInBody(), true, nullptr},
    {"GarbageThenClose", true, {false, false, {{0, "\x16\x03\x01\x02\xfe not an answer; no empty line follows\r\n"}}}, true, nullptr},
    // The client gives up on its own.
    {"EndlessHeaderBlock", true, ScriptedServer::endless_header(), true, nullptr},
    {"NumberResult", true, Answer(Body("5")), true, nullptr},
};

void PrintTo(const Case& c, std::ostream* out) { *out << c.name; }

class FaultMatrix : public PluginHost, public ::testing::WithParamInterface<Case> {
protected:
    // An address of its own: port 80 of the host's usual one may be held by
    // another checkout's plug-in tests running on this machine at the time.
    static constexpr const wchar_t* kHost = L"127.0.0.111";
    static constexpr DWORD kOutcomeMs = 15000;

    FaultMatrix() : PluginHost(zorvanhost::Arrangement::Classic, kHost) {}

    void TearDown() override
    {
        PluginHost::TearDown();
        service_.reset();
    }

    void Start(const ServerScript& script)
    {
        service_.reset();
        service_.reset(new ScriptedServer(Ascii(kHost).c_str(), script));
    }

    // One top-level navigation with the plug-in's worker held: the window
    // thread must come back from the events before the lookup can start, and
    // the service hears nothing from it meanwhile. Then the lookup.
    void UnheldNavigate(const std::wstring& url)
    {
        vpk::unique_handle gate(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
            holding(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        const HANDLE g = gate.get(), h = holding.get();
        std::shared_ptr<bool> broke_a_deadlock = std::make_shared<bool>(false);
        // The bound only breaks a deadlock, should the window thread wait for the worker.
        object_->Worker().post(std::make_unique<std::function<void()>>([g, h, broke_a_deadlock] {
            SetEvent(h);
            *broke_a_deadlock = WaitForSingleObject(g, 30000) != WAIT_OBJECT_0;
        }));
        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(h, kOutcomeMs));
        const bool navigated = browser_->Navigate(url, url);
        const size_t heard = service_ ? service_->accepted() : 0;
        SetEvent(g);
        Drain();
        EXPECT_TRUE(navigated);
        EXPECT_FALSE(*broke_a_deadlock) << "the window thread waited for the worker";
        EXPECT_EQ(0u, heard) << "the window thread called the service itself";
    }

    std::unique_ptr<ScriptedServer> service_;
};

TEST_P(FaultMatrix, OutcomeThenTheNextPageIsRankedByAHealthyService)
{
    const Case& c = GetParam();
    if (c.listening) Start(c.script);
    ASSERT_EQ(S_OK, Initialize());

    UnheldNavigate(L"http://fault.example/page");
    if (c.listening) {
        EXPECT_GE(service_->accepted(), 1u);
        EXPECT_EQ(c.reads_request ? 1u : 0u, service_->requests().size());
    }
    if (c.rank) {
        EXPECT_EQ(c.rank, RankText());
        EXPECT_EQ(c.rank, site_->Value(L"ZorvanRank"));
        EXPECT_EQ(L"http://fault.example/page", site_->Value(L"ZorvanRankUrl"));
        EXPECT_EQ(2u, site_->Calls().size());
    } else {
        EXPECT_EQ(L"No rank", RankText());
        EXPECT_TRUE(site_->Calls().empty());
    }

    // The same plug-in and client, the service back in order.
    Start(Answer(RankBody("42")));
    UnheldNavigate(L"http://next.example/");
    EXPECT_EQ(1u, service_->requests().size());
    EXPECT_EQ(L"42", RankText());
    EXPECT_EQ(L"42", site_->Value(L"ZorvanRank"));
    EXPECT_EQ(L"http://next.example/", site_->Value(L"ZorvanRankUrl"));
}

INSTANTIATE_TEST_SUITE_P(Service, FaultMatrix, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

}  // namespace
