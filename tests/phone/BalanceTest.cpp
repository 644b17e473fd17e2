// The balance query after each call, against the account-server fixture: what each
// answer does to the display and to the balance the number checks go by, network
// failures, the escaped query, the timer that a later end of call postpones, and two
// queries that overlap.
#include <winsock2.h>
#include "CallsFixture.h"
#include "TimerPeriods.h"

using namespace phonetest;
using apptest::AccountServer;

namespace {

// A one-shot HTTP server on loopback that holds its answer until released.
class HeldAnswerServer {
public:
    HeldAnswerServer()
    {
        m_listen = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int len = sizeof a;
        ::bind(m_listen, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(m_listen, 1);
        ::getsockname(m_listen, reinterpret_cast<sockaddr*>(&a), &len);
        m_port = ntohs(a.sin_port);
        m_release = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
        m_thread = std::thread([this] { Serve(); });
    }
    ~HeldAnswerServer()
    {
        Release("");
        ::closesocket(m_listen);
        m_thread.join();
        ::CloseHandle(m_release);
    }
    std::string Url() const { return "http://127.0.0.1:" + std::to_string(m_port); }
    bool Asked() const { return m_asked; }
    void Release(const std::string& body)
    {
        if (!m_body.empty() || ::WaitForSingleObject(m_release, 0) == WAIT_OBJECT_0)
            return;
        m_body = body;
        ::SetEvent(m_release);
    }

private:
    void Serve()
    {
        SOCKET s = ::accept(m_listen, nullptr, nullptr);
        if (s == INVALID_SOCKET)
            return;
        std::string request;
        char buf[1024];
        while (request.find("\r\n\r\n") == std::string::npos) {
            const int n = ::recv(s, buf, sizeof buf, 0);
            if (n <= 0)
                break;
            request.append(buf, static_cast<size_t>(n));
        }
        m_asked = true;
        ::WaitForSingleObject(m_release, 30000);
        const std::string answer = "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\nContent-Length: " +
                                   std::to_string(m_body.size()) + "\r\n\r\n" + m_body;
        ::send(s, answer.data(), static_cast<int>(answer.size()), 0);
        ::closesocket(s);
    }
    SOCKET m_listen;
    int m_port = 0;
    HANDLE m_release;
    std::string m_body;
    std::atomic<bool> m_asked{false};
    std::thread m_thread;
};

class BalanceQuery : public CallsTest {
protected:
    void SetUp() override
    {
        CallsTest::SetUp();
        ASSERT_TRUE(AccountServer::Available()) << "run through tests/fixtures/with_account_server";
        SetServerBaseUrl(AccountServer::Url());
        AccountServer::CloseWithoutAnswer("money.php", false);
        AccountServer::ClearRequests();
        ThePeriods().nBalanceDelay = kDelay;
    }
    void TearDown() override
    {
        ThePeriods() = TimerPeriods();
        CallsTest::TearDown();
    }
    // The balance timer's period here: long enough to see it postponed, short to wait for.
    static const UINT kDelay = 600;
    bool OpenAsking(const std::string& account = "10001", const std::string& password = "s3cret")
    {
        return Open(0, [=](TestDial& d) {
            d.m_strAccount = account;
            d.m_strSipPassword = password;
            d.Session().m_strBalance = "7.00";
            d.askAccountServer = true;
        });
    }
    // Timer 4's tick, at once: the balance worker starts.
    void Tick() const
    {
        run.Ui([&] { ::SendMessageA(run.h, WM_TIMER, CDial::TIMER_BALANCE, 0); });
    }
    std::vector<std::string> MoneyRequests() const
    {
        std::vector<std::string> out;
        for (const std::string& r : AccountServer::Requests())
            if (r.find("/money.php") != std::string::npos)
                out.push_back(r);
        return out;
    }
    std::string Display() const { return run.Text(IDC_BALANCE); }
    // Marks the display, asks, and waits until the answer has changed it.
    bool AskAndWaitForTheDisplay()
    {
        run.Ui([&] { ::SetDlgItemTextA(run.h, IDC_BALANCE, "?"); });
        Tick();
        return run.WaitUntil([&] { return wintest::Text(run.h, IDC_BALANCE) != "?"; }, 5000);
    }
};

TEST_F(BalanceQuery, AnswersDecideTheDisplayAndTheBalanceTheNumberChecksGoBy)
{
    ASSERT_TRUE(OpenAsking());
    ASSERT_TRUE(Register());
    EXPECT_EQ(Display(), "7.00");
    struct Row {
        const char* body;
        int status;
        const char* display;
        const char* balance;
    };
    const Row rows[] = {
        {"ok!25.60@\n", 200, "25.60", "25.60"},
        {"ok!1.20@rest#x$y\nok!99@\n", 200, "1.20", "1.20"},
        {"error!\n", 200, "", "1.20"},                  // refused: shown empty, the balance stays
        {"ok!3.50@", 500, "3.50", "3.50"},              // an error page's first line is the answer
        {"OK!9.00@\n", 200, "", "3.50"},
        {"", 200, "", "3.50"},
        {"ok!25.60", 200, "", ""},                      // no "@": an empty balance
        {"ok!2.00@\n", 200, "2.00", "2.00"},
    };
    for (const Row& r : rows) {
        AccountServer::Answer("money.php", r.body, r.status);
        ASSERT_TRUE(AskAndWaitForTheDisplay()) << r.body;
        EXPECT_EQ(Display(), r.display) << r.body;
        EXPECT_EQ(Balance(), r.balance) << r.body;
    }
    EXPECT_EQ(MoneyRequests(), std::vector<std::string>(sizeof rows / sizeof rows[0],
                                                        "GET /money.php?username=10001&pass=s3cret HTTP/1.1"));
    EXPECT_TRUE(desktop.BoxesSeen().empty());
}

// The worker's answer is taken over by the window's thread, from its queue: while that
// thread is busy with a message, the balance its number checks read does not change.
TEST_F(BalanceQuery, AnswerIsTakenOverByTheWindowsThreadBetweenItsMessages)
{
    ASSERT_TRUE(OpenAsking());
    ASSERT_TRUE(Register());
    AccountServer::Answer("money.php", "ok!25.60@\n");
    run.Ui([&] {
        ::SendMessageA(run.h, WM_TIMER, CDial::TIMER_BALANCE, 0);
        for (int i = 0; i < 150 && MoneyRequests().empty(); ++i)
            ::Sleep(20);
        ::Sleep(700);       // the answer is in by now
        EXPECT_EQ(MoneyRequests().size(), 1u);
        EXPECT_EQ(run.dial->Session().m_strBalance, "7.00");
        EXPECT_EQ(wintest::Text(run.h, IDC_BALANCE), "7.00");
    });
    EXPECT_TRUE(run.WaitUntil([&] { return wintest::Text(run.h, IDC_BALANCE) == "25.60"; }, 3000)) << Display();
    EXPECT_EQ(Balance(), "25.60");
}

TEST_F(BalanceQuery, NumberChecksUseTheBalanceTheAnswerLeft)
{
    ASSERT_TRUE(OpenAsking());
    ASSERT_TRUE(Register());
    AccountServer::Answer("money.php", "ok!1.20@\n");
    ASSERT_TRUE(AskAndWaitForTheDisplay());
    Dial("07551234567");
    EXPECT_EQ(Status(), "话费余额不足.请充值");
    // A refusal empties the display, but the checks still go by 1.20.
    AccountServer::Answer("money.php", "error!\n");
    ASSERT_TRUE(AskAndWaitForTheDisplay());
    EXPECT_EQ(Display(), "");
    Dial("07551234567");
    EXPECT_EQ(Status(), "话费余额不足.请充值");
    AccountServer::Answer("money.php", "ok!1.50@\n");
    ASSERT_TRUE(AskAndWaitForTheDisplay());
    Dial("07551234567");
    EXPECT_EQ(Status(), "正在呼叫:07551234567");
}

TEST_F(BalanceQuery, NetworkFailuresChangeNothing)
{
    ASSERT_TRUE(OpenAsking());
    ASSERT_TRUE(Register());
    AccountServer::Answer("money.php", "ok!25.60@\n");
    ASSERT_TRUE(AskAndWaitForTheDisplay());
    ASSERT_EQ(Display(), "25.60");

    // Nobody listens.
    SetServerBaseUrl(apptest::DeadServerUrl());
    Tick();
    Settle(2000);
    EXPECT_EQ(Display(), "25.60");
    EXPECT_EQ(Balance(), "25.60");
    EXPECT_EQ(run.dial->balanceQueries, 2);

    // The server closes the connection without an answer. WinInet decides whether that
    // fails the request (nothing changes) or gives an empty answer (the display empties,
    // as for any answer but "ok"); either way the balance stays.
    SetServerBaseUrl(AccountServer::Url());
    AccountServer::CloseWithoutAnswer("money.php", true);
    Tick();
    EXPECT_TRUE(run.WaitUntil([&] { return MoneyRequests().size() == 2; }, 3000));
    Settle(1000);
    EXPECT_TRUE(Display() == "25.60" || Display() == "") << Display();
    EXPECT_EQ(Balance(), "25.60");
    EXPECT_TRUE(desktop.BoxesSeen().empty());
}

TEST_F(BalanceQuery, AccountAndPasswordAreSentEscaped)
{
    ASSERT_TRUE(OpenAsking("100&01 #", "p%w=帐"));
    ASSERT_TRUE(Register());
    AccountServer::Answer("money.php", "ok!4.00@\n");
    ASSERT_TRUE(AskAndWaitForTheDisplay());
    EXPECT_EQ(Display(), "4.00");
    EXPECT_EQ(MoneyRequests(),
              std::vector<std::string>{"GET /money.php?username=100%2601%20%23&pass=p%25w%3D%D5%CA HTTP/1.1"});
}

TEST_F(BalanceQuery, HangUpThenTheCallsEndHalfAPeriodLaterGiveOneQueryAPeriodAfterTheLater)
{
    ASSERT_TRUE(OpenAsking());
    ASSERT_TRUE(Register());
    AccountServer::Answer("money.php", "ok!18.40@\n");
    Press(IDC_HANGUP);
    ::Sleep(kDelay / 2);
    DWORD ended = 0;
    run.Ui([&] {
        ended = ::GetTickCount();
        ::SendMessageA(run.h, CDial::WM_CALL_ENDED, 0, 0);
    });
    EXPECT_TRUE(run.WaitUntil([&] { return wintest::Text(run.h, IDC_BALANCE) == "18.40"; }, 6000)) << Display();
    EXPECT_EQ(run.dial->balanceQueries, 1);
    const DWORD after = run.dial->lastBalanceQueryTick - ended;
    EXPECT_GE(after, kDelay - 100);
    EXPECT_LE(after, kDelay + 800);
    EXPECT_FALSE(run.WaitUntil([&] { return run.dial->balanceQueries > 1; }, 2 * kDelay));
    EXPECT_EQ(MoneyRequests().size(), 1u);
    EXPECT_EQ(Balance(), "18.40");
}

TEST_F(BalanceQuery, OfTwoOverlappingQueriesTheOneAnsweredLastDecides)
{
    ASSERT_TRUE(OpenAsking());
    ASSERT_TRUE(Register());
    HeldAnswerServer slow;
    SetServerBaseUrl(slow.Url());
    Tick();
    ASSERT_TRUE(run.WaitUntil([&] { return slow.Asked(); }, 5000));

    SetServerBaseUrl(AccountServer::Url());
    AccountServer::Answer("money.php", "ok!2.00@\n");
    Tick();
    EXPECT_TRUE(run.WaitUntil([&] { return wintest::Text(run.h, IDC_BALANCE) == "2.00"; }, 5000)) << Display();

    slow.Release("ok!1.00@\n");
    EXPECT_TRUE(run.WaitUntil([&] { return wintest::Text(run.h, IDC_BALANCE) == "1.00"; }, 5000)) << Display();
    EXPECT_EQ(Balance(), "1.00");
}

}  // namespace
