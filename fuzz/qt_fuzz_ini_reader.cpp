// Feeds arbitrary bytes to the INI reader as the content of config.ini, then reads, writes and
// reads again: nothing may crash, a write must keep every line it does not touch, what was
// written must read back, and the file is UTF-8 afterwards whatever it was before.
#include "uConfigStore.h"
#include "zsIniFile.h"

#include <QStringList>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {

std::string FuzzFile() {
    static const std::string Path = [] {
        char Template[] = "/tmp/vantorel-fuzz-ini-XXXXXX";
        const char* Dir = ::mkdtemp(Template);
        if (!Dir) {
            std::abort();
        }
        static std::string Folder = Dir;
        std::atexit([] { ::rmdir(Folder.c_str()); });
        return Folder + "/config.ini";
    }();
    return Path;
}

void Check(bool Condition) {
    if (!Condition) {
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
    const std::string Content(reinterpret_cast<const char*>(Data), Size);
    // Parsing alone must keep every byte of the file.
    std::string Joined;
    for (const auto& Line : TzsIniFile::Parse(Content)) {
        Joined += Line.Text + Line.Ending;
    }
    Check(Joined == Content || Joined == Content + "\r\n");

    // Whatever the bytes, the reader gets UTF-8: the bytes themselves when they are UTF-8,
    // else one character per byte.
    const auto Decoded = TzsIniFile::Decode(Content);
    Check(TzsIniFile::IsValidUtf8(Decoded.Text));
    const std::string Body = Decoded.ByteOrderMark ? Content.substr(3) : Content;
    Check(Decoded.Legacy ? Decoded.Text == TzsIniFile::Windows1252ToUtf8(Body)
                         : Decoded.Text == Body);

    const std::string Path = FuzzFile();
    if (std::FILE* File = std::fopen(Path.c_str(), "wb")) {
        std::fwrite(Content.data(), 1, Content.size(), File);
        std::fclose(File);
    }
    auto Ini = TConfigStore::MakeIniFile(QString::fromStdString(Path));
    QStringList Groups;
    TConfigStore::ReadNumberedList(*Ini, QStringLiteral("GROUPS"), Groups);
    for (const auto& Line : TzsIniFile::Parse(Content)) {
        if (Line.Kind == TzsIniFile::TLine::TKind::Section) {
            (void)Ini->ReadSectionValues(Line.Name);
        }
    }

    Ini->WriteString("COMMON", "DefaultGroup", "fuzz value");
    Check(Ini->ReadString("COMMON", "DefaultGroup") == "fuzz value");
    Ini->ReplaceSection("GROUPS", {{"0", " a "}, {"1", "\"b\""}});
    Check(Ini->ReadString("groups", "0") == " a ");
    Check(Ini->ReadString("groups", "1") == "\"b\"");
    Check(!Ini->SectionExists("GROUPS") || Ini->ReadSection("GROUPS").size() == 2);
    // After a write the whole file is UTF-8 and keeps its byte-order mark.
    std::string Written;
    if (std::FILE* File = std::fopen(Path.c_str(), "rb")) {
        char Buffer[4096];
        std::size_t Got = 0;
        while ((Got = std::fread(Buffer, 1, sizeof Buffer, File)) > 0) {
            Written.append(Buffer, Got);
        }
        std::fclose(File);
    }
    Check(TzsIniFile::IsValidUtf8(Written));
    Check((Written.rfind("\xEF\xBB\xBF", 0) == 0) == Decoded.ByteOrderMark);
    ::unlink(Path.c_str());
    return 0;
}
