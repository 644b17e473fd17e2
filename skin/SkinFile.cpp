#include "SkinFile.h"
#include "SkinValues.h"

namespace skin {

namespace {

const UINT kGbk = 936;
using namespace values;

// --- the reader ----------------------------------------------------------------------

class Reader {
public:
    explicit Reader(Skin& skin) : m_skin(skin) {}

    // Handles one meaningful line (trimmed, not a comment).
    void Line(int number, const std::wstring& line)
    {
        m_line = number;
        if (line[0] == L'[')
            Section(line);
        else
            Entry(line);
    }
    bool HasDialogs() const { return !m_skin.dialogs.empty(); }
    std::vector<Problem> problems;

private:
    enum class Sec { Skin, Colors, Style, Dialog, Ignored };

    void Skip(const char* why) { problems.push_back(Problem{m_line, why}); }

    void Section(const std::wstring& line)
    {
        m_sec = Sec::Ignored;
        if (line.back() != L']') {
            Skip("section header without ']'");
            return;
        }
        auto parts = SplitBlanks(line.substr(1, line.size() - 2));
        const std::wstring kind = parts.empty() ? L"" : Lower(parts[0]);
        if (kind == L"skin" && parts.size() == 1) {
            m_sec = Sec::Skin;
        } else if (kind == L"colors" && parts.size() == 1) {
            m_sec = Sec::Colors;
        } else if (kind == L"style" && parts.size() == 2 && IsIdentifier(Lower(parts[1]))) {
            m_sec = Sec::Style;
            m_styleName = Lower(parts[1]);
            // A style starts as a copy of "normal" as far as the file has defined it.
            if (!m_skin.styles.count(m_styleName))
                m_skin.styles[m_styleName] = m_skin.styles[L"normal"];
        } else if (kind == L"dialog" && parts.size() == 2) {
            int id = 0;
            if (!ParseNumber(parts[1], id) || id < 1 || id > 65535) {
                Skip("bad dialog id; section ignored");
                return;
            }
            m_sec = Sec::Dialog;
            m_dialog = &m_skin.dialogs[id];
            m_dialog->id = id;
        } else {
            Skip("unknown section; ignored");
        }
    }

    void Entry(const std::wstring& line)
    {
        size_t eq = line.find(L'=');
        if (eq == std::wstring::npos) {
            Skip("no '=' in line");
            return;
        }
        const std::wstring key = Trim(line.substr(0, eq));
        const std::wstring value = Trim(line.substr(eq + 1));
        auto words = SplitBlanks(Lower(key));
        if (words.empty()) {
            Skip("empty key");
            return;
        }
        bool ok = false;
        switch (m_sec) {
        case Sec::Skin: ok = words.size() == 1 && SkinKey(words[0], value); break;
        case Sec::Colors: ok = words.size() == 1 && ColorKey(words[0], value); break;
        case Sec::Style: ok = words.size() == 1 && StyleKey(m_skin.styles[m_styleName], words[0], value); break;
        case Sec::Dialog: ok = DialogKey(words, value); break;
        case Sec::Ignored: return;       // reported once, at the section header
        }
        if (!ok)
            Skip("unknown key or bad value");
    }

    bool SkinKey(const std::wstring& key, const std::wstring& value)
    {
        if (key == L"name") {
            m_skin.name = value;
            return true;
        }
        if (key == L"font") {
            std::vector<std::wstring> faces;
            size_t pos = 0;
            while (pos <= value.size()) {
                size_t comma = value.find(L',', pos);
                if (comma == std::wstring::npos)
                    comma = value.size();
                std::wstring face = Trim(value.substr(pos, comma - pos));
                if (!face.empty() && face.size() < LF_FACESIZE)
                    faces.push_back(face);
                pos = comma + 1;
            }
            if (faces.empty())
                return false;
            m_skin.fonts = faces;
            return true;
        }
        int n = 0;
        if (key == L"size" && ParseNumber(value, n) && n >= 6 && n <= 48) {
            m_skin.size = n;
            return true;
        }
        if (key == L"title_size" && ParseNumber(value, n) && n >= 6 && n <= 72) {
            m_skin.titleSize = n;
            return true;
        }
        return false;
    }

    bool ColorKey(const std::wstring& key, const std::wstring& value)
    {
        Palette& p = m_skin.colors;
        if (key == L"window") return ParseGradient(value, p.window);
        if (key == L"banner") return ParseGradient(value, p.banner);
        const std::pair<const wchar_t*, COLORREF*> colours[] = {
            {L"banner_text", &p.bannerText}, {L"banner_subtext", &p.bannerSubtext},
            {L"banner_line", &p.bannerLine}, {L"text", &p.text}, {L"heading", &p.heading},
            {L"panel", &p.panel}, {L"panel_border", &p.panelBorder}, {L"bar", &p.bar},
            {L"bar_back", &p.barBack},
        };
        for (const auto& c : colours)
            if (key == c.first)
                return ParseColor(value, *c.second);
        return false;
    }

    static bool StyleKey(ButtonStyle& s, const std::wstring& key, const std::wstring& value)
    {
        if (key == L"kind") {
            const std::wstring v = Lower(value);
            if (v != L"button" && v != L"link")
                return false;
            s.link = v == L"link";
            return true;
        }
        if (key == L"face") return ParseGradient(value, s.face);
        if (key == L"hot") return ParseGradient(value, s.hot);
        if (key == L"pressed") return ParseGradient(value, s.pressed);
        if (key == L"disabled") return ParseGradient(value, s.disabled);
        if (key == L"border") return ParseColor(value, s.border);
        if (key == L"text") return ParseColor(value, s.text);
        if (key == L"hot_text") return ParseColor(value, s.hotText);
        if (key == L"disabled_text") return ParseColor(value, s.disabledText);
        if (key == L"focus") return ParseColor(value, s.focus);
        if (key == L"bold") return ParseFlag(value, s.bold);
        int n = 0;
        if (key == L"radius" && ParseNumber(value, n) && n <= 20) {
            s.radius = n;
            return true;
        }
        if (key == L"size" && ParseNumber(value, n) && n >= 6 && n <= 48) {
            s.size = n;
            return true;
        }
        return false;
    }

    bool DialogKey(const std::vector<std::wstring>& words, const std::wstring& value)
    {
        DialogPart& d = *m_dialog;
        const std::wstring& key = words[0];
        if (key == L"button" && words.size() == 2)
            return ButtonEntry(words[1], value);
        if (key == L"text" && words.size() >= 2)
            return TextEntry(words, value);
        if (words.size() != 1)
            return false;
        int n = 0;
        if (key == L"banner" && ParseNumber(value, n) && n <= 400) {
            d.banner = n;
            return true;
        }
        if (key == L"title") { d.title = value; return true; }
        if (key == L"subtitle") { d.subtitle = value; return true; }
        if (key == L"style" && IsIdentifier(Lower(value))) {
            d.style = Lower(value);
            return true;
        }
        RECT r;
        if (key == L"panel" && ParseRect(value, r)) {
            d.panels.push_back(r);
            return true;
        }
        if (key == L"notes" && ParseRect(value, r)) {
            d.hasNotes = true;
            d.notesArea = r;
            return true;
        }
        const std::pair<const wchar_t*, Note::Kind> notes[] = {
            {L"heading", Note::Heading}, {L"paragraph", Note::Paragraph}, {L"bullet", Note::Bullet}};
        for (const auto& n2 : notes) {
            if (key == n2.first && !value.empty()) {
                d.notes.push_back(Note{n2.second, value});
                return true;
            }
        }
        return false;
    }

    // button <id> = [style |] label
    bool ButtonEntry(const std::wstring& idText, const std::wstring& value)
    {
        int id = 0;
        if (!ParseNumber(idText, id) || id > 65535)
            return false;
        ButtonLabel label;
        size_t bar = value.find(L'|');
        if (bar != std::wstring::npos) {
            std::wstring style = Lower(Trim(value.substr(0, bar)));
            if (!IsIdentifier(style))
                return false;
            label.style = style;
            label.text = Trim(value.substr(bar + 1));
        } else {
            label.text = value;
        }
        m_dialog->buttons[id] = label;
        return true;
    }

    // text x,y,w,h [left|center|right] [bold] = text
    bool TextEntry(const std::vector<std::wstring>& words, const std::wstring& value)
    {
        PaintedText t;
        if (!ParseRect(words[1], t.rect) || value.empty())
            return false;
        for (size_t i = 2; i < words.size(); ++i) {
            if (words[i] == L"left") t.align = Align::Left;
            else if (words[i] == L"center") t.align = Align::Center;
            else if (words[i] == L"right") t.align = Align::Right;
            else if (words[i] == L"bold") t.bold = true;
            else return false;
        }
        t.text = value;
        m_dialog->texts.push_back(t);
        return true;
    }

    Skin& m_skin;
    Sec m_sec = Sec::Ignored;
    std::wstring m_styleName;
    DialogPart* m_dialog = nullptr;
    int m_line = 0;
};

}  // namespace

const ButtonStyle& Skin::Style(const std::wstring& styleName) const
{
    auto s = styles.find(styleName);
    if (s == styles.end())
        s = styles.find(L"normal");
    static const ButtonStyle fallback;
    return s == styles.end() ? fallback : s->second;
}

const DialogPart* Skin::Dialog(int id) const
{
    auto d = dialogs.find(id);
    return d == dialogs.end() ? nullptr : &d->second;
}

ParseResult ParseSkin(const char* data, std::size_t size, Skin& out)
{
    ParseResult result;
    if (size > kMaxFileSize) {
        result.status = Status::TooLarge;
        return result;
    }
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == '\0') {
            result.status = Status::Binary;
            return result;
        }
    }
    std::size_t pos = 0;
    if (size >= 3 && static_cast<unsigned char>(data[0]) == 0xEF &&
        static_cast<unsigned char>(data[1]) == 0xBB && static_cast<unsigned char>(data[2]) == 0xBF)
        pos = 3;

    Skin skin;
    Reader reader(skin);
    bool sawHeader = false;
    int number = 0;
    std::wstring text;
    while (pos < size) {
        std::size_t end = pos;
        while (end < size && data[end] != '\n' && data[end] != '\r')
            ++end;
        ++number;
        const std::size_t length = end - pos;
        const char* begin = data + pos;
        // Next line: "\r\n", "\n" or a lone "\r" ends this one.
        pos = end;
        if (pos < size && data[pos] == '\r') {
            ++pos;
            if (pos < size && data[pos] == '\n')
                ++pos;
        } else if (pos < size && data[pos] == '\n') {
            ++pos;
        }

        if (length > kMaxLineLength) {
            if (!sawHeader) {
                result.status = Status::NotASkin;
                result.line = number;
                return result;
            }
            reader.problems.push_back(Problem{number, "line too long"});
            continue;
        }
        if (!Utf8Line(begin, length, text)) {
            if (!sawHeader) {
                result.status = Status::NotASkin;
                result.line = number;
                return result;
            }
            reader.problems.push_back(Problem{number, "not UTF-8"});
            continue;
        }
        text = Trim(text);
        if (text.empty() || text[0] == L';' || text[0] == L'#')
            continue;
        if (!sawHeader) {
            if (Lower(text) != L"[skin]") {
                result.status = Status::NotASkin;
                result.line = number;
                return result;
            }
            sawHeader = true;
        }
        reader.Line(number, text);
    }
    if (!sawHeader) {
        result.status = Status::NotASkin;
        return result;
    }
    if (!reader.HasDialogs()) {
        result.status = Status::NoDialogs;
        return result;
    }
    result.skipped = std::move(reader.problems);
    out = std::move(skin);
    return result;
}

ParseResult LoadSkinFile(const char* fileGbk, Skin& out)
{
    ParseResult result;
    result.status = Status::NotFound;
    if (!fileGbk || !*fileGbk)
        return result;
    const std::wstring name = GbkToWide(fileGbk);
    HANDLE h = ::CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return result;
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(h, &size)) {
        ::CloseHandle(h);
        return result;
    }
    if (size.QuadPart > static_cast<LONGLONG>(kMaxFileSize)) {
        ::CloseHandle(h);
        result.status = Status::TooLarge;
        return result;
    }
    std::string data(static_cast<std::size_t>(size.QuadPart), '\0');
    DWORD got = 0;
    const bool read = data.empty() ||
        (::ReadFile(h, &data[0], static_cast<DWORD>(data.size()), &got, nullptr) && got == data.size());
    ::CloseHandle(h);
    if (!read)
        return result;
    return ParseSkin(data.data(), data.size(), out);
}

std::wstring GbkToWide(const std::string& gbk)
{
    if (gbk.empty())
        return std::wstring();
    int len = ::MultiByteToWideChar(kGbk, 0, gbk.data(), static_cast<int>(gbk.size()), nullptr, 0);
    if (len <= 0)
        return std::wstring();
    std::wstring wide(len, L'\0');
    ::MultiByteToWideChar(kGbk, 0, gbk.data(), static_cast<int>(gbk.size()), &wide[0], len);
    return wide;
}

std::string WideToGbk(const std::wstring& wide)
{
    if (wide.empty())
        return std::string();
    int len = ::WideCharToMultiByte(kGbk, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
    if (len <= 0)
        return std::string();
    std::string gbk(len, '\0');
    ::WideCharToMultiByte(kGbk, 0, wide.data(), static_cast<int>(wide.size()), &gbk[0], len, nullptr, nullptr);
    return gbk;
}

}  // namespace skin
