// Test fixture pieces for code that touches the user's folders: a temporary folder that stands
// in for the XDG configuration and data homes, so no test reaches the real home folder.
#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QTemporaryDir>
#include <QtGlobal>

#include <cerrno>
#include <fcntl.h>
#include <linux/fs.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

// Points XDG_CONFIG_HOME and XDG_DATA_HOME at fresh folders for its lifetime.
class TTempXdgHomes {
public:
    TTempXdgHomes()
        : FOldConfig(qgetenv("XDG_CONFIG_HOME")), FOldData(qgetenv("XDG_DATA_HOME")),
          FHadConfig(qEnvironmentVariableIsSet("XDG_CONFIG_HOME")),
          FHadData(qEnvironmentVariableIsSet("XDG_DATA_HOME")) {
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(ConfigHome()));
        qputenv("XDG_DATA_HOME", QFile::encodeName(DataHome()));
    }
    ~TTempXdgHomes() {
        FHadConfig ? qputenv("XDG_CONFIG_HOME", FOldConfig) : qunsetenv("XDG_CONFIG_HOME");
        FHadData ? qputenv("XDG_DATA_HOME", FOldData) : qunsetenv("XDG_DATA_HOME");
    }
    TTempXdgHomes(const TTempXdgHomes&) = delete;
    TTempXdgHomes& operator=(const TTempXdgHomes&) = delete;

    QString Root() const { return FDir.path(); }
    QString ConfigHome() const { return FDir.path() + QStringLiteral("/config"); }
    QString DataHome() const { return FDir.path() + QStringLiteral("/data"); }

private:
    QTemporaryDir FDir;
    QByteArray FOldConfig;
    QByteArray FOldData;
    bool FHadConfig;
    bool FHadData;
};

// Makes a folder refuse new entries for its lifetime, in a way that holds for root too (the
// immutable attribute); an ordinary user gets a folder without write permission.
class TReadOnlyFolder {
public:
    explicit TReadOnlyFolder(const std::string& Path) : FPath(Path) {
        if (::geteuid() != 0) {
            FOk = ::chmod(Path.c_str(), 0555) == 0;
            FByMode = true;
            return;
        }
        FOk = SetImmutable(true);
    }
    ~TReadOnlyFolder() {
        if (!FOk) {
            return;
        }
        if (FByMode) {
            ::chmod(FPath.c_str(), 0755);
        } else {
            SetImmutable(false);
        }
    }
    TReadOnlyFolder(const TReadOnlyFolder&) = delete;
    TReadOnlyFolder& operator=(const TReadOnlyFolder&) = delete;

    // False when the file system cannot make the folder read-only.
    bool Ok() const { return FOk; }

private:
    bool SetImmutable(bool On) {
        const int Fd = ::open(FPath.c_str(), O_RDONLY | O_DIRECTORY);
        if (Fd < 0) {
            return false;
        }
        int Flags = 0;
        bool Done = ::ioctl(Fd, FS_IOC_GETFLAGS, &Flags) == 0;
        if (Done) {
            Flags = On ? (Flags | FS_IMMUTABLE_FL) : (Flags & ~FS_IMMUTABLE_FL);
            Done = ::ioctl(Fd, FS_IOC_SETFLAGS, &Flags) == 0;
        }
        ::close(Fd);
        return Done;
    }

    std::string FPath;
    bool FOk = false;
    bool FByMode = false;
};

inline QByteArray ReadWholeFile(const QString& Path) {
    QFile File(Path);
    return File.open(QIODevice::ReadOnly) ? File.readAll() : QByteArray();
}

inline bool WriteWholeFile(const QString& Path, const QByteArray& Content) {
    QFile File(Path);
    return File.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           File.write(Content) == Content.size();
}
