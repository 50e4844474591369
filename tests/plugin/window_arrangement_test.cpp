// The status bar search in the host's three window arrangements, each with a
// second tab that a careless search would pick.
#include "PluginHost.h"

using zorvanhost::Arrangement;

namespace {

class StatusBarOfTheTab : public PluginHost, public ::testing::WithParamInterface<Arrangement> {
protected:
    StatusBarOfTheTab() : PluginHost(GetParam()) {}
};

}  // namespace

TEST_P(StatusBarOfTheTab, IsFoundFromTheToolbarWindow)
{
    ASSERT_NE(nullptr, windows_.StatusBar());
    EXPECT_EQ(windows_.StatusBar(), object_->FindStatusBar(windows_.Toolbar()));
    EXPECT_EQ(nullptr, object_->FindStatusBar(nullptr));
}

INSTANTIATE_TEST_SUITE_P(Arrangements, StatusBarOfTheTab,
                         ::testing::Values(Arrangement::Classic, Arrangement::Shared, Arrangement::Tabs),
                         [](const ::testing::TestParamInfo<Arrangement>& p) {
                             return Ascii(zorvanhost::ArrangementName(p.param));
                         });
