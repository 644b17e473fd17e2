// The skin file reader on any bytes: a refused file leaves the skin as it was; an
// accepted one holds only what the format allows (dialog ids, rectangles, sizes, font
// names, styles), and its skipped lines are reported once each, in order.
#include <cstddef>
#include <cstdint>

#include "SkinFile.h"
#include "fuzz_check.h"

namespace {

bool RectOk(const RECT& r)
{
    return r.left >= 0 && r.top >= 0 && r.left <= 4000 && r.top <= 4000 && r.right > r.left && r.bottom > r.top &&
           r.right - r.left <= 4000 && r.bottom - r.top <= 4000;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    skin::Skin out;
    out.name = L"untouched";
    out.size = 77;
    const skin::ParseResult r = skin::ParseSkin(reinterpret_cast<const char*>(data), size, out);
    if (!r) {
        FUZZ_CHECK(out.name == L"untouched" && out.size == 77 && out.dialogs.empty());
        return 0;
    }

    FUZZ_CHECK(!out.dialogs.empty());
    FUZZ_CHECK(out.size >= 6 && out.size <= 48 && out.titleSize >= 6 && out.titleSize <= 72);
    FUZZ_CHECK(!out.fonts.empty());
    for (const std::wstring& font : out.fonts)
        FUZZ_CHECK(!font.empty() && font.size() < LF_FACESIZE);
    FUZZ_CHECK(out.styles.count(L"normal") == 1);
    for (const auto& [name, style] : out.styles) {
        FUZZ_CHECK(style.radius >= 0 && style.radius <= 20);
        FUZZ_CHECK(style.size == 0 || (style.size >= 6 && style.size <= 48));
        FUZZ_CHECK(&out.Style(name) == &style);
    }
    FUZZ_CHECK(&out.Style(L"no such style") == &out.styles.at(L"normal"));

    for (const auto& [id, part] : out.dialogs) {
        FUZZ_CHECK(id >= 1 && id <= 65535 && part.id == id && out.Dialog(id) == &part);
        FUZZ_CHECK(part.banner >= 0 && part.banner <= 400);
        for (const auto& [buttonId, label] : part.buttons)
            FUZZ_CHECK(buttonId >= 0 && buttonId <= 65535 && label.style.size() <= 32);
        for (const RECT& panel : part.panels)
            FUZZ_CHECK(RectOk(panel));
        for (const skin::PaintedText& t : part.texts)
            FUZZ_CHECK(RectOk(t.rect) && !t.text.empty());
        FUZZ_CHECK(!part.hasNotes || RectOk(part.notesArea));
        for (const skin::Note& n : part.notes)
            FUZZ_CHECK(!n.text.empty());
    }
    FUZZ_CHECK(out.Dialog(0) == nullptr);

    int previous = 0;
    for (const skin::Problem& p : r.skipped) {
        FUZZ_CHECK(p.line > previous && !p.what.empty());
        previous = p.line;
    }
    FUZZ_CHECK(static_cast<size_t>(previous) <= size);
    return 0;
}
