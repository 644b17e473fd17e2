// The phone window opens where the subscriber left it in the last run, kept in Call.xml,
// unless that place is off every monitor now or its title bar could not be taken there;
// then it opens where it opens without a stored place. The window is run, closed and run
// again in the same working folder, as two runs of the program are.
#include <gtest/gtest.h>
#include <windows.h>
#include <functional>
#include "PhoneFixture.h"
#include "SettingsFiles.h"

using apptest::ReadBytes;
using apptest::WriteBytes;
using phonetest::PhoneRun;
using phonetest::TestDial;

namespace {

const char kCallXmlBefore[] = "<top>\r\n<Call dallnum=\"0201\" userr=\"80012345\" lx=\"a\"/>\r\n</top>\r\n";

class WindowPlace : public phonetest::PhoneWindowTest {
protected:
    void SetUp() override
    {
        PhoneWindowTest::SetUp();
        WriteBytes("Call.xml", kCallXmlBefore);
    }
    // Runs the phone window once more (another run of the program): its top-left corner.
    POINT RunAgain()
    {
        PhoneRun again;
        EXPECT_TRUE(again.Start([&](TestDial& d) { phonetest::SignedIn(d, deadRegistrar.Port(), keepAlive.Port()); }));
        RECT r = {};
        ::GetWindowRect(again.h, &r);
        EXPECT_GE(again.Close(), 0);
        return POINT{r.left, r.top};
    }
    static RECT WorkArea(HWND h)
    {
        MONITORINFO info = {};
        info.cbSize = sizeof info;
        ::GetMonitorInfoW(::MonitorFromWindow(h, MONITOR_DEFAULTTONEAREST), &info);
        return info.rcWork;
    }
};

TEST_F(WindowPlace, PhoneWindowOpensWhereItWasLeft)
{
    ASSERT_TRUE(Open());
    RECT r;
    ASSERT_TRUE(::GetWindowRect(run.h, &r));
    const RECT area = WorkArea(run.h);
    // Somewhere else inside the work area: a third of the room there is to the right and below.
    const int x = area.left + (area.right - area.left - (r.right - r.left)) / 3 + 1;
    const int y = area.top + (area.bottom - area.top - (r.bottom - r.top)) / 3 + 1;
    ASSERT_FALSE(x == r.left && y == r.top);
    run.Ui([&] { ::SetWindowPos(run.h, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER); });
    ASSERT_GE(run.Close(), 0);

    CXmlDoc doc;
    int storedX = 0, storedY = 0;
    ASSERT_TRUE(LoadWindowPos(doc, "phone", storedX, storedY, "Call.xml")) << ReadBytes("Call.xml");
    EXPECT_EQ(storedX, x);
    EXPECT_EQ(storedY, y);
    // The rest of the file as it was: the place is one element at the end.
    const std::string after = ReadBytes("Call.xml");
    EXPECT_EQ(after.substr(0, after.find("<window ")), std::string(kCallXmlBefore).substr(0, std::string(kCallXmlBefore).find("</top>")));

    const POINT again = RunAgain();
    EXPECT_EQ(again.x, x);
    EXPECT_EQ(again.y, y);
}

TEST_F(WindowPlace, StoredPlaceOffEveryScreenIsPassedOver)
{
    // Where it opens without a stored place.
    ASSERT_TRUE(Open());
    RECT r;
    ASSERT_TRUE(::GetWindowRect(run.h, &r));
    const RECT area = WorkArea(run.h);
    RECT screen = {::GetSystemMetrics(SM_XVIRTUALSCREEN), ::GetSystemMetrics(SM_YVIRTUALSCREEN), 0, 0};
    screen.right = screen.left + ::GetSystemMetrics(SM_CXVIRTUALSCREEN);
    screen.bottom = screen.top + ::GetSystemMetrics(SM_CYVIRTUALSCREEN);
    ASSERT_GE(run.Close(), 0);
    const int width = r.right - r.left, height = r.bottom - r.top;

    struct Row {
        const char* what;
        int x, y;
        bool used;
    };
    const Row rows[] = {
        {"right of every monitor", screen.right + 10, area.top, false},
        {"below every monitor", area.left, screen.bottom + 10, false},
        {"left of every monitor", screen.left - width - 10, area.top, false},
        // On the monitor, but the title bar above its top: nothing to take the window by.
        {"title bar above the screen", area.left, screen.top - height / 2, false},
        {"inside the work area", area.left + 1, area.top + 1, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        WriteBytes("Call.xml", std::string("<top>\r\n<window name=\"phone\" x=\"") + std::to_string(row.x) +
                                   "\" y=\"" + std::to_string(row.y) + "\"/>\r\n</top>\r\n");
        const POINT opened = RunAgain();
        if (row.used) {
            EXPECT_EQ(opened.x, row.x);
            EXPECT_EQ(opened.y, row.y);
        } else {
            EXPECT_EQ(opened.x, r.left);
            EXPECT_EQ(opened.y, r.top);
        }
    }
}

}  // namespace
