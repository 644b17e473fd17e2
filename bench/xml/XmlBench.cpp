// Times CXmlDoc against pugixml on the same generated Call.xml of 100,000 "Call"
// entries (about 6 MB):
//   (a) load, then walk every "Call" reading its three attributes;
//   (b) load, insert one "Call" with three attributes as first child, save.
// Prints the best (shortest) of several runs of each and the ratios ours / pugixml:
// the machine may be busy with other work, which only ever makes a run slower.
//
// Then the parse of two damaged texts that need repair, each at two sizes ten times
// apart, and the ratio of their times (about 10 when parsing stays linear):
//   (c) n times "<a>", then n times "</b>": end tags of no open element inside deep
//       nesting;
//   (d) n times "<a><b>", n times "<c><d/></c>", n times "</a>": every "</a>" closes a
//       "b" as not ended and moves everything inside it one level up.
//
//   xml_bench [runs] [folder]     (defaults: 15 runs, the system's temporary folder)
#include "XmlDoc.h"

#include <pugixml.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

const int kCalls = 100000;

std::string MakeCallXml()
{
    std::string strText = "<calls>\r\n";
    char szLine[128];
    for (int i = 0; i < kCalls; ++i) {
        std::snprintf(szLine, sizeof szLine, "<Call dallnum=\"0086139%08d\" userr=\"8%07d\" lx=\"a\"/>\r\n", i * 7919 % 100000000,
                      i % 50);
        strText += szLine;
    }
    return strText + "<audio a11=\"1\" a22=\"0\" a33=\"1\"/>\r\n</calls>\r\n";
}

std::string StrayEndTags(int n)
{
    std::string strText;
    for (int i = 0; i < n; ++i)
        strText += "<a>";
    for (int i = 0; i < n; ++i)
        strText += "</b>";
    return strText;
}

std::string MovedSubtrees(int n)
{
    std::string strText;
    for (int i = 0; i < n; ++i)
        strText += "<a><b>";
    for (int i = 0; i < n; ++i)
        strText += "<c><d/></c>";
    for (int i = 0; i < n; ++i)
        strText += "</a>";
    return strText;
}

// Records in use after parsing, as the checksum of a parse.
size_t ParseOurs(const std::string& strText)
{
    CXmlDoc doc;
    doc.SetDocument(strText);
    size_t n = doc.GetResult().size();
    doc.RewindElements();
    while (doc.FindElement(nullptr))
        ++n;
    return n;
}

// Runs every case once per round, round after round, so that a busy machine slows
// all of them alike, and keeps each case's shortest wall time in milliseconds.
// Every run of a case must give the same checksum.
struct Case
{
    std::function<size_t()> run;
    double tBest = 1e300;
    size_t nChecksum = 0;
};

void RunRounds(int nRounds, std::vector<Case*> cases)
{
    for (int nRound = 0; nRound < nRounds; ++nRound) {
        for (Case* c : cases) {
            auto t0 = std::chrono::steady_clock::now();
            size_t n = c->run();
            auto t1 = std::chrono::steady_clock::now();
            if (nRound == 0)
                c->nChecksum = n;
            else if (n != c->nChecksum)
                std::fprintf(stderr, "xml_bench: round %d gave %zu, not %zu\n", nRound, n, c->nChecksum);
            c->tBest = std::min(c->tBest, std::chrono::duration<double, std::milli>(t1 - t0).count());
        }
    }
}

size_t WalkOurs(const std::string& strPath)
{
    CXmlDoc doc;
    doc.LoadFile(strPath);
    size_t n = 0;
    doc.RewindElements();
    doc.FindElement(nullptr);
    while (doc.FindChildElement("Call")) {
        std::string strNumber = doc.ChildAttribute("dallnum");
        std::string strAccount = doc.ChildAttribute("userr");
        std::string strType = doc.ChildAttribute("lx");
        n += strNumber.size() + strAccount.size() + strType.size();
    }
    return n;
}

size_t WalkPugi(const std::string& strPath)
{
    pugi::xml_document doc;
    doc.load_file(strPath.c_str());
    size_t n = 0;
    for (pugi::xml_node call : doc.first_child().children("Call")) {
        std::string strNumber = call.attribute("dallnum").value();
        std::string strAccount = call.attribute("userr").value();
        std::string strType = call.attribute("lx").value();
        n += strNumber.size() + strAccount.size() + strType.size();
    }
    return n;
}

size_t InsertOurs(const std::string& strPath, const std::string& strOut)
{
    CXmlDoc doc;
    doc.LoadFile(strPath);
    doc.RewindElements();
    doc.FindElement(nullptr);
    doc.EnterElement();
    doc.InsertElementBefore("Call");
    doc.SetAttribute("dallnum", "013912345678");
    doc.SetAttribute("userr", "80010001");
    doc.SetAttribute("lx", "a");
    doc.LeaveElement();
    doc.SaveFile(strOut);
    return fs::file_size(strOut);
}

size_t InsertPugi(const std::string& strPath, const std::string& strOut, unsigned nParse, unsigned nFormat)
{
    pugi::xml_document doc;
    doc.load_file(strPath.c_str(), nParse);
    pugi::xml_node call = doc.first_child().prepend_child("Call");
    call.append_attribute("dallnum").set_value("013912345678");
    call.append_attribute("userr").set_value("80010001");
    call.append_attribute("lx").set_value("a");
    doc.save_file(strOut.c_str(), "\t", nFormat);
    return fs::file_size(strOut);
}

}  // namespace

int main(int argc, char** argv)
{
    const int nRuns = argc > 1 ? std::max(1, std::atoi(argv[1])) : 15;
    const fs::path dir = fs::path(argc > 2 ? argv[2] : fs::temp_directory_path().string()) / "quillon-xml-bench";
    fs::create_directories(dir);
    const std::string strIn = (dir / "Call.xml").string();
    const std::string strOurs = (dir / "ours.xml").string();
    const std::string strPugi = (dir / "pugi.xml").string();
    {
        const std::string strText = MakeCallXml();
        std::ofstream(strIn, std::ios::binary).write(strText.data(), static_cast<std::streamsize>(strText.size()));
        std::printf("Call.xml: %d Call entries, %zu bytes, in %s\n", kCalls, strText.size(), dir.string().c_str());
    }
#if defined(__SANITIZE_ADDRESS__) || !defined(NDEBUG)
    std::printf("warning: not a release build without sanitizers; the times say little\n");
#endif

    Case oursA{[&] { return WalkOurs(strIn); }};
    Case pugiA{[&] { return WalkPugi(strIn); }};
    Case oursB{[&] { return InsertOurs(strIn, strOurs); }};
    Case pugiB{[&] { return InsertPugi(strIn, strPugi, pugi::parse_default, pugi::format_default); }};
    // pugixml set up to keep the file as it was (line breaks kept, no indentation).
    Case pugiKeep{[&] {
        return InsertPugi(strIn, strPugi, (pugi::parse_default | pugi::parse_ws_pcdata) & ~pugi::parse_eol,
                          pugi::format_raw | pugi::format_no_declaration);
    }};
    RunRounds(nRuns, {&oursA, &pugiA, &oursB, &pugiB, &pugiKeep});
    if (oursA.nChecksum != pugiA.nChecksum)
        std::printf("warning: walks differ: %zu bytes of values against %zu\n", oursA.nChecksum, pugiA.nChecksum);
    const double tOursA = oursA.tBest, tPugiA = pugiA.tBest, tOursB = oursB.tBest, tPugiB = pugiB.tBest;
    const double tPugiKeep = pugiKeep.tBest;
    const size_t nOursB = oursB.nChecksum, nPugiB = pugiB.nChecksum, nPugiKeep = pugiKeep.nChecksum;

    std::printf("(a) load + walk %d Call, 3 attributes each:  ours %.2f ms  pugixml %.2f ms  ratio %.2f  (goal <= 1.5)\n",
                kCalls, tOursA, tPugiA, tOursA / tPugiA);
    std::printf("(b) load + insert first Call + save:         ours %.2f ms  pugixml %.2f ms  ratio %.2f  (goal <= 1.0)\n",
                tOursB, tPugiB, tOursB / tPugiB);
    std::printf("    pugixml keeping the file's layout:        pugixml %.2f ms  ratio %.2f\n", tPugiKeep,
                tOursB / tPugiKeep);
    std::printf("    output: ours %zu bytes, pugixml %zu bytes (default format), %zu bytes (layout kept)\n", nOursB,
                nPugiB, nPugiKeep);

    struct Damaged
    {
        const char* pszLabel;
        std::string (*make)(int);
        int nSmall;
    } const damaged[] = {
        {"(c) parse n \"<a>\" + n \"</b>\"", StrayEndTags, 6400},
        {"(d) parse n \"<a><b>\" + n \"<c><d/></c>\" + n \"</a>\"", MovedSubtrees, 2134},
    };
    for (const Damaged& d : damaged) {
        const std::string strSmall = d.make(d.nSmall), strLarge = d.make(10 * d.nSmall);
        Case small{[&] { return ParseOurs(strSmall); }};
        Case large{[&] { return ParseOurs(strLarge); }};
        RunRounds(nRuns, {&small, &large});
        std::printf("%s:\n    %.1f KB %.3f ms   %.1f KB %.3f ms   ratio %.1f  (linear: about 10)\n", d.pszLabel,
                    strSmall.size() / 1000.0, small.tBest, strLarge.size() / 1000.0, large.tBest,
                    large.tBest / small.tBest);
    }
    fs::remove_all(dir);
    return 0;
}
