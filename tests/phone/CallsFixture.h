// The fixture of the call tests: the phone window of PhoneFixture.h with the call path
// driven by its buttons and keys, and the number box's list read back.
#pragma once
#include <fstream>
#include <sstream>
#include "PhoneFixture.h"

namespace phonetest {

class CallsTest : public PhoneWindowTest {
protected:
    std::string Status() const { return run.Text(IDC_STATUS); }
    std::string Clock() const { return run.Text(IDC_CLOCK); }

    // The number box's list, top first.
    std::vector<std::string> List() const
    {
        std::vector<std::string> items;
        run.Ui([&] {
            const int n = static_cast<int>(::SendDlgItemMessageA(run.h, IDC_NUMBER, CB_GETCOUNT, 0, 0));
            for (int i = 0; i < n; ++i) {
                char text[256] = {0};
                COMBOBOXEXITEMA item = {};
                item.mask = CBEIF_TEXT;
                item.iItem = i;
                item.pszText = text;
                item.cchTextMax = sizeof text;
                ::SendDlgItemMessageA(run.h, IDC_NUMBER, CBEM_GETITEMA, 0, reinterpret_cast<LPARAM>(&item));
                items.push_back(text);
            }
        });
        return items;
    }
    // Types the number into the box and presses the call button.
    void Dial(const std::string& number)
    {
        SetNumber(number);
        Press(IDC_CALL);
    }
    // A key pressed on the keyboard in the number box, through the window's message loop.
    void Type(UINT vk) const
    {
        HWND edit = NumberEdit();
        const UINT scan = ::MapVirtualKeyA(vk, 0);
        ::PostMessageA(edit, WM_KEYDOWN, vk, 1 | (scan << 16));
        ::PostMessageA(edit, WM_KEYUP, vk, 1 | (scan << 16) | (3u << 30));
        Flush();
    }
    template <typename T>
    T OnUi(const std::function<T()>& read) const
    {
        T value{};
        run.Ui([&] { value = read(); });
        return value;
    }
    int InCall() const { return OnUi<int>([&] { return run.dial->m_bInCall; }); }
    std::string Balance() const { return OnUi<std::string>([&] { return run.dial->Session().m_strBalance; }); }
    void SetBalance(const std::string& balance) const { run.Ui([&] { run.dial->Session().m_strBalance = balance; }); }
};

// A file of this program's folder written by a Unix program, e.g. sipp's log; empty when missing.
inline std::string ReadUnixText(const std::string& unixPath)
{
    std::ifstream f(LocalPath(unixPath), std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

}  // namespace phonetest
