// The skin as read from a skin file: colours, button styles and, per dialog id, the
// banner, painted texts, panels, button labels and notes. The file format is described
// in README.md beside this file; ParseSkin is its one reader.
#pragma once
#include <windows.h>
#include <cstddef>
#include <map>
#include <string>
#include <vector>

namespace skin {

// A vertical gradient; a flat colour has top == bottom.
struct Gradient {
    COLORREF top = RGB(255, 255, 255);
    COLORREF bottom = RGB(255, 255, 255);
};

// How one kind of push button is drawn. kind "link" draws no face, only the label.
struct ButtonStyle {
    bool link = false;
    Gradient face{RGB(255, 255, 255), RGB(226, 232, 240)};
    Gradient hot{RGB(255, 255, 255), RGB(212, 226, 245)};
    Gradient pressed{RGB(200, 212, 230), RGB(222, 230, 242)};
    Gradient disabled{RGB(240, 240, 240), RGB(232, 232, 232)};
    COLORREF border = RGB(120, 136, 160);
    COLORREF text = RGB(30, 40, 55);
    COLORREF hotText = RGB(30, 40, 55);
    COLORREF disabledText = RGB(160, 160, 160);
    COLORREF focus = RGB(240, 160, 48);
    int radius = 3;          // pixels
    int size = 0;            // label size in points; 0: the skin's size
    bool bold = false;
};

// The dialog-wide colours.
struct Palette {
    Gradient window{RGB(244, 247, 252), RGB(214, 226, 242)};
    Gradient banner{RGB(40, 90, 168), RGB(62, 124, 214)};
    COLORREF bannerText = RGB(255, 255, 255);
    COLORREF bannerSubtext = RGB(214, 228, 250);
    COLORREF bannerLine = RGB(240, 160, 48);
    COLORREF text = RGB(30, 40, 55);         // static texts, check boxes, painted texts
    COLORREF heading = RGB(40, 90, 168);     // note headings
    COLORREF panel = RGB(250, 252, 255);
    COLORREF panelBorder = RGB(176, 192, 216);
    COLORREF bar = RGB(76, 175, 80);         // progress (level) bars
    COLORREF barBack = RGB(232, 238, 246);
};

enum class Align { Left, Center, Right };

// A text painted on the dialog's background. Positions are in dialog units.
struct PaintedText {
    RECT rect{};
    Align align = Align::Left;
    bool bold = false;
    std::wstring text;
};

// One block of the flowing notes of a dialog.
struct Note {
    enum Kind { Heading, Paragraph, Bullet } kind = Paragraph;
    std::wstring text;
};

// What the skin says about one push button. An empty text keeps the button's own caption.
struct ButtonLabel {
    std::wstring style;      // empty: the dialog's style
    std::wstring text;
};

struct DialogPart {
    int id = 0;
    int banner = 0;                      // height of the banner band in dialog units
    std::wstring title, subtitle;        // banner texts
    std::wstring style = L"normal";      // style of buttons the skin names no style for
    std::map<int, ButtonLabel> buttons;  // by control id
    std::vector<RECT> panels;            // dialog units
    std::vector<PaintedText> texts;
    bool hasNotes = false;
    RECT notesArea{};                    // dialog units
    std::vector<Note> notes;
};

struct Skin {
    std::wstring name;
    std::vector<std::wstring> fonts{L"宋体"};    // the first one installed is used
    int size = 9;                                // points
    int titleSize = 14;                          // banner title, points
    Palette colors;
    std::map<std::wstring, ButtonStyle> styles{{L"normal", ButtonStyle{}}};
    std::map<int, DialogPart> dialogs;

    // The named style, or "normal" for an unknown name.
    const ButtonStyle& Style(const std::wstring& name) const;
    // The part for a dialog id, or null.
    const DialogPart* Dialog(int id) const;
};

// Why a file was refused or a line skipped.
enum class Status {
    Ok,
    NotFound,        // the file cannot be opened or read
    TooLarge,        // larger than kMaxFileSize
    Binary,          // holds a NUL byte (binary data, UTF-16)
    NotASkin,        // the first line that is not blank or a comment is not "[skin]"
    NoDialogs,       // no dialog section
};

struct Problem {
    int line = 0;            // 1-based
    std::string what;
};

struct ParseResult {
    Status status = Status::Ok;
    int line = 0;                    // line that refused the file, when there is one
    std::vector<Problem> skipped;    // lines ignored in an accepted file
    explicit operator bool() const { return status == Status::Ok; }
};

constexpr std::size_t kMaxFileSize = 256 * 1024;
constexpr std::size_t kMaxLineLength = 1024;     // bytes, without the line end

// Reads skin text (UTF-8, with or without a byte-order mark). On success `out` holds the
// skin; on failure `out` is left as it was.
ParseResult ParseSkin(const char* data, std::size_t size, Skin& out);
// Reads the skin file `fileGbk` (a GBK file name). Same contract as ParseSkin.
ParseResult LoadSkinFile(const char* fileGbk, Skin& out);

// Text conversions between the program's GBK and the UTF-16 used for drawing.
std::wstring GbkToWide(const std::string& gbk);
std::string WideToGbk(const std::wstring& wide);

}  // namespace skin
