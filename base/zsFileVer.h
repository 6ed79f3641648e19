// The version stamped into the program file. The build compiles the project version into a
// stamp inside the executable; GetFileVersionText finds that stamp in any file, so the running
// program reads its own version from "/proc/self/exe".
#pragma once

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <stdexcept>

class EFileVersionError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The file's version as "major.minor.release.build". Raises EFileVersionError when the file
// cannot be read or carries no stamp.
QString GetFileVersionText(const QString& FileName);

// The stamp bytes for a version given as its two 32-bit words (major << 16 | minor,
// release << 16 | build), as the build places them in the program file.
QByteArray MakeFileVersionStamp(std::uint32_t VersionMS, std::uint32_t VersionLS);
