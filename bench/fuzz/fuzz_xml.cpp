// The settings XML document on any text: parse (from memory, or from a file with the
// UTF-8 conversion a load does), then navigation, attribute reads and edits chosen
// by the input, then the text saved (to memory, or to a file and loaded again).
// After the parse the records must agree with the text; after every edit they must
// equal those of a fresh parse of the edited text; a cached attribute read must
// equal a fresh scan of the tag; without a done edit the text stays as it was.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <system_error>
#include <filesystem>

#include "XmlDoc.h"
#include "XmlTestSupport.h"
#include "fuzz_check.h"

namespace {

const char* const kNames[] = {"a", "b", "Call", "audio", "r", "x\xD6\xD0", ""};
const char* const kAttributes[] = {"a11", "dallnum", "userr", "lx", "x", "y"};
const char* const kValues[] = {"", "1", "a&amp;b", "&#20013;", "\xD6\xD0", "p>q", "it's", "say \"x\"", "<&>", "\x81"};

template <size_t N>
const char* Pick(FuzzedDataProvider& in, const char* const (&items)[N])
{
    return items[in.ConsumeIntegralInRange<size_t>(0, N - 1)];
}

std::unique_ptr<ScratchDir> g_dir;

void Check(const std::string& strProblem)
{
    if (!strProblem.empty()) {
        std::fprintf(stderr, "%s\n", strProblem.c_str());
        FUZZ_CHECK(strProblem.empty());
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // Files go to memory where there is a memory file system: saving syncs the file.
    std::error_code ec;
    if (std::filesystem::is_directory("/dev/shm", ec))
        setenv("TMPDIR", "/dev/shm", 0);
    g_dir = std::make_unique<ScratchDir>();
    std::atexit([] { g_dir.reset(); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider in(data, size);
    const uint8_t mode = in.ConsumeIntegral<uint8_t>();
    const bool bThroughFiles = (mode & 7) == 0;
    const std::string strText = in.ConsumeRandomLengthString(size);

    CXmlDoc doc;
    if (bThroughFiles) {
        const std::string strPath = g_dir->Path("in.xml");
        WriteBytes(strPath, strText);
        doc.LoadFile(strPath);
    } else {
        doc.SetDocument(strText);
        FUZZ_CHECK(doc.GetDocument() == strText);
    }
    Check(CXmlDocInspector::CheckRecords(doc));

    bool bChanged = false;  // by an edit that was done
    for (int nOp = 0; nOp < 40 && in.remaining_bytes() > 0; ++nOp) {
        const char* pszName = in.ConsumeBool() ? nullptr : Pick(in, kNames);
        bool bEdit = true;
        switch (in.ConsumeIntegralInRange(0, 11)) {
        case 0: doc.RewindElements(); bEdit = false; break;
        case 1: doc.FindElement(pszName); bEdit = false; break;
        case 2: doc.FindChildElement(pszName); bEdit = false; break;
        case 3: doc.EnterElement(); bEdit = false; break;
        case 4: doc.LeaveElement(); bEdit = false; break;
        case 5: {
            const char* pszAttribute = Pick(in, kAttributes);
            FUZZ_CHECK(doc.ChildAttribute(pszAttribute) == CXmlDocInspector::ScannedChildAttribute(doc, pszAttribute));
            bEdit = false;
            break;
        }
        case 6: bChanged |= doc.SetAttribute(Pick(in, kAttributes), Pick(in, kValues)); break;
        case 7: bChanged |= doc.SetAttribute(Pick(in, kAttributes), in.ConsumeIntegral<int>()); break;
        case 8: bChanged |= doc.AppendElement(Pick(in, kNames)); break;
        case 9: bChanged |= doc.InsertElementBefore(Pick(in, kNames)); break;
        default: bChanged |= doc.RemoveChildElement(); break;
        }
        if (bEdit)
            Check(CXmlDocInspector::CheckAgainstReparse(doc));
    }

    if (bThroughFiles) {
        const std::string strPath = g_dir->Path("out.xml");
        FUZZ_CHECK(doc.SaveFile(strPath));
        CXmlDoc loaded;
        loaded.LoadFile(strPath);
        Check(CXmlDocInspector::CheckRecords(loaded));
        const std::string strSaved = doc.GetDocument();
        bool bAscii = true;
        for (unsigned char c : strSaved)
            bAscii = bAscii && c < 0x80;
        if (bAscii)
            FUZZ_CHECK(loaded.GetDocument() == strSaved);
    } else if (!bChanged) {
        // Navigation, reads and refused edits leave the text alone.
        FUZZ_CHECK(doc.GetDocument() == strText);
    }
    return 0;
}
