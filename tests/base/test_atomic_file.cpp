// The atomic file writer against what can stand at a file name: for each case, whether the write
// is done or refused, what the target holds afterwards, and that no temporary file is left.
// Faults come from the real system: a full tmpfs, a file size limit, a folder the writer may not
// write as user nobody, and a writer killed between its written temporary and the rename.
#include "zsAtomicFile.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <sched.h>
#include <sstream>
#include <string>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr const char* OldText = "old contents\n";
constexpr const char* NewText = "new contents\n";

std::string ReadAll(const std::string& Path) {
    std::ifstream In(Path, std::ios::binary);
    std::ostringstream Out;
    Out << In.rdbuf();
    return Out.str();
}

void Put(const std::string& Path, const std::string& Text) {
    std::ofstream(Path, std::ios::binary) << Text;
}

// The names in Folder that are this writer's temporaries.
std::vector<std::string> Temporaries(const std::string& Folder) {
    std::vector<std::string> Names;
    if (DIR* D = ::opendir(Folder.c_str())) {
        while (const dirent* E = ::readdir(D)) {
            if (TzsAtomicFile::IsTemporaryName(E->d_name)) {
                Names.emplace_back(E->d_name);
            }
        }
        ::closedir(D);
    }
    return Names;
}

// Runs Body in a child process and returns its wait status; the child ends with Body's result
// as exit code.
int InChild(const std::function<int()>& Body) {
    const pid_t Child = ::fork();
    if (Child == 0) {
        int Code = 99;
        try {
            Code = Body();
        } catch (...) {
        }
        ::_exit(Code);
    }
    int Status = 0;
    ::waitpid(Child, &Status, 0);
    return Status;
}

// The outcome of one write: the message of the failure, or empty when it was done.
std::string TryWrite(const std::string& Path, const std::string& Text) {
    try {
        WriteFileAtomically(Path, Text);
        return {};
    } catch (const EAtomicFileError& Error) {
        return Error.what();
    }
}

class AtomicFileTest : public ::testing::Test {
public:
    std::string Path(const char* Name) const { return Folder + "/" + Name; }

    QTemporaryDir Dir;
    std::string Folder = Dir.path().toStdString();
};

TEST_F(AtomicFileTest, WhatStandsAtTheNameDecidesWhetherItIsReplaced) {
    struct TCase {
        const char* Name;
        // Makes what stands at the name and returns the name to write; fills Check with the
        // file whose contents the write must leave as Expected.
        std::function<std::string(const AtomicFileTest&, std::string& Check)> Make;
        const char* Refusal; // part of the message; nullptr when the write is done
        const char* Expected;
    };
    const std::vector<TCase> Cases = {
        {"regular file",
         [](const AtomicFileTest& T, std::string& Check) {
             Put(Check = T.Path("plain.ini"), OldText);
             return Check;
         },
         nullptr, NewText},
        {"no file yet",
         [](const AtomicFileTest& T, std::string& Check) { return Check = T.Path("new.ini"); },
         nullptr, NewText},
        {"link to a file, written in the file's own folder",
         [](const AtomicFileTest& T, std::string& Check) {
             ::mkdir(T.Path("real").c_str(), 0700);
             Put(Check = T.Path("real/linked.ini"), OldText);
             ::symlink("real/linked.ini", T.Path("link.ini").c_str());
             return T.Path("link.ini");
         },
         nullptr, NewText},
        {"link to a link to a file",
         [](const AtomicFileTest& T, std::string& Check) {
             Put(Check = T.Path("end.ini"), OldText);
             ::symlink("end.ini", T.Path("middle.ini").c_str());
             ::symlink(T.Path("middle.ini").c_str(), T.Path("first.ini").c_str());
             return T.Path("first.ini");
         },
         nullptr, NewText},
        {"dangling link: its target is made",
         [](const AtomicFileTest& T, std::string& Check) {
             Check = T.Path("made-by-write.ini");
             ::symlink("made-by-write.ini", T.Path("dangling.ini").c_str());
             return T.Path("dangling.ini");
         },
         nullptr, NewText},
        {"link to a FIFO",
         [](const AtomicFileTest& T, std::string& Check) {
             ::mkfifo(T.Path("fifo").c_str(), 0600);
             ::symlink("fifo", T.Path("to-fifo.ini").c_str());
             Check.clear();
             return T.Path("to-fifo.ini");
         },
         "not a regular file", nullptr},
        {"FIFO",
         [](const AtomicFileTest& T, std::string& Check) {
             ::mkfifo(T.Path("pipe.ini").c_str(), 0600);
             Check.clear();
             return T.Path("pipe.ini");
         },
         "not a regular file", nullptr},
        {"folder",
         [](const AtomicFileTest& T, std::string& Check) {
             ::mkdir(T.Path("folder.ini").c_str(), 0700);
             Check.clear();
             return T.Path("folder.ini");
         },
         "Is a directory", nullptr},
        {"device",
         [](const AtomicFileTest&, std::string& Check) {
             Check.clear();
             return std::string("/dev/null");
         },
         "not a regular file", nullptr},
        {"file without write permission",
         [](const AtomicFileTest& T, std::string& Check) {
             Put(Check = T.Path("read-only.ini"), OldText);
             ::chmod(Check.c_str(), 0444);
             return Check;
         },
         "Permission denied", OldText},
        {"folder that does not exist",
         [](const AtomicFileTest& T, std::string& Check) {
             Check.clear();
             return T.Path("missing/file.ini");
         },
         "No such file or directory", nullptr},
        {"link loop",
         [](const AtomicFileTest& T, std::string& Check) {
             ::symlink("loop-b", T.Path("loop-a").c_str());
             ::symlink("loop-a", T.Path("loop-b").c_str());
             Check.clear();
             return T.Path("loop-a");
         },
         "Too many levels of symbolic links", nullptr},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        std::string Check;
        const std::string Target = Case.Make(*this, Check);
        struct stat Before {};
        const bool Existed = ::lstat(Target.c_str(), &Before) == 0;
        const std::string Message = TryWrite(Target, NewText);
        if (Case.Refusal) {
            EXPECT_NE(Message.find(Case.Refusal), std::string::npos) << Message;
            EXPECT_NE(Message.find(Target), std::string::npos) << "names the file: " << Message;
        } else {
            EXPECT_EQ(Message, "");
        }
        if (Case.Expected) {
            EXPECT_EQ(ReadAll(Check), Case.Expected);
        }
        // What stood at the name is still of the same kind: a link stays a link, a FIFO a FIFO.
        struct stat After {};
        if (Existed) {
            ASSERT_EQ(::lstat(Target.c_str(), &After), 0);
            EXPECT_EQ(After.st_mode & S_IFMT, Before.st_mode & S_IFMT);
        }
        EXPECT_EQ(Temporaries(Folder), std::vector<std::string>());
        EXPECT_EQ(Temporaries(Folder + "/real"), std::vector<std::string>());
    }
}

TEST_F(AtomicFileTest, ReplacedFileKeepsItsPermissions) {
    const std::string Target = Path("private.ini");
    Put(Target, OldText);
    ::chmod(Target.c_str(), 0600);
    WriteFileAtomically(Target, NewText);
    struct stat Info {};
    ASSERT_EQ(::stat(Target.c_str(), &Info), 0);
    EXPECT_EQ(Info.st_mode & 07777, 0600u);
    EXPECT_EQ(ReadAll(Target), NewText);
}

// Failures of the system: each leaves the old contents and no temporary file, and is reported
// with the file's name and the system's reason.
TEST_F(AtomicFileTest, FailuresOfTheSystemLeaveTheTargetAsItWas) {
    const std::string Target = Path("victim.ini");
    const std::string Big(256 * 1024, 'x'); // more than the buffer, so it is written in pieces
    struct TCase {
        const char* Name;
        const char* Reason;
        std::function<void()> Prepare; // runs in the child before the write
        bool Streamed;
    };
    const std::vector<TCase> Cases = {
        {"file size limit: a short write and then EFBIG", "File too large",
         [] {
             ::signal(SIGXFSZ, SIG_IGN);
             const rlimit Limit{100000, 100000};
             ::setrlimit(RLIMIT_FSIZE, &Limit);
         },
         false},
        {"file size limit while streaming", "File too large",
         [] {
             ::signal(SIGXFSZ, SIG_IGN);
             const rlimit Limit{100000, 100000};
             ::setrlimit(RLIMIT_FSIZE, &Limit);
         },
         true},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        Put(Target, OldText);
        const std::string MessageFile = Path("message.txt");
        const int Status = InChild([&] {
            Case.Prepare();
            std::string Message;
            try {
                if (Case.Streamed) {
                    TzsAtomicFile File(Target);
                    for (int I = 0; I < 64; ++I) {
                        File.Write(Big.substr(0, 4096));
                    }
                    File.Commit();
                } else {
                    WriteFileAtomically(Target, Big);
                }
            } catch (const EAtomicFileError& Error) {
                Message = Error.what();
            }
            Put(MessageFile, Message);
            return Message.empty() ? 1 : 0;
        });
        ASSERT_TRUE(WIFEXITED(Status) && WEXITSTATUS(Status) == 0) << Status;
        const std::string Message = ReadAll(MessageFile);
        EXPECT_NE(Message.find(Case.Reason), std::string::npos) << Message;
        EXPECT_NE(Message.find(Target), std::string::npos) << Message;
        EXPECT_EQ(ReadAll(Target), OldText);
        EXPECT_EQ(Temporaries(Folder), std::vector<std::string>());
    }
}

TEST_F(AtomicFileTest, FullDiskLeavesTheTargetAsItWas) {
    // A tmpfs of 64 KiB in a mount namespace of a child's own (as root, or in a user namespace).
    const std::string Mount = Path("small");
    ::mkdir(Mount.c_str(), 0700);
    const std::string MessageFile = Path("message.txt");
    const int Status = InChild([&] {
        if (::unshare(CLONE_NEWNS) != 0 && ::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) {
            return 77;
        }
        if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("tmpfs", Mount.c_str(), "tmpfs", 0, "size=64k") != 0) {
            return 77;
        }
        const std::string Target = Mount + "/victim.ini";
        Put(Target, OldText);
        std::string Message;
        try {
            WriteFileAtomically(Target, std::string(256 * 1024, 'x'));
        } catch (const EAtomicFileError& Error) {
            Message = Error.what();
        }
        // The tmpfs goes with the namespace: report from inside it.
        const bool Kept = ReadAll(Target) == OldText && Temporaries(Mount).empty();
        Put(MessageFile, Message);
        return Kept ? 0 : 2;
    });
    if (WIFEXITED(Status) && WEXITSTATUS(Status) == 77) {
        GTEST_SKIP() << "no mount namespace to make a small tmpfs in";
    }
    EXPECT_TRUE(WIFEXITED(Status) && WEXITSTATUS(Status) == 0)
        << "the target changed or a temporary was left: " << Status;
    const std::string Message = ReadAll(MessageFile);
    EXPECT_NE(Message.find("No space left on device"), std::string::npos) << Message;
    EXPECT_NE(Message.find("victim.ini"), std::string::npos) << Message;
}

TEST_F(AtomicFileTest, FolderWithoutWritePermissionIsReported) {
    const std::string Target = Path("shut/config.ini");
    ::mkdir(Path("shut").c_str(), 0755);
    Put(Target, OldText);
    ::chmod(Target.c_str(), 0666); // the file may be written; its folder may not
    const std::string MessageFile = Path("message.txt");
    ::chmod(Folder.c_str(), 0777); // let nobody leave its message
    const int Status = InChild([&] {
        if (::geteuid() == 0) {
            // As root, every folder is writable: the write is made as user nobody.
            if (::setgid(65534) != 0 || ::setuid(65534) != 0) {
                return 77;
            }
        } else {
            ::chmod(Path("shut").c_str(), 0555);
        }
        const std::string Message = TryWrite(Target, NewText);
        Put(MessageFile, Message);
        return 0;
    });
    ::chmod(Path("shut").c_str(), 0755);
    ASSERT_TRUE(WIFEXITED(Status) && WEXITSTATUS(Status) == 0) << Status;
    const std::string Message = ReadAll(MessageFile);
    EXPECT_NE(Message.find("Permission denied"), std::string::npos) << Message;
    EXPECT_NE(Message.find(Target), std::string::npos) << Message;
    EXPECT_EQ(ReadAll(Target), OldText);
    EXPECT_EQ(Temporaries(Path("shut")), std::vector<std::string>());
}

TEST_F(AtomicFileTest, FailedRenameAndAbortLeaveTheTargetAsItWas) {
    const std::string Target = Path("config.ini");
    Put(Target, OldText);
    {
        TzsAtomicFile File(Target);
        File.SetReplaceStep([](const std::string&, const std::string&) {
            errno = EXDEV;
            return false;
        });
        File.Write(NewText);
        try {
            File.Commit();
            ADD_FAILURE() << "the failed rename was not reported";
        } catch (const EAtomicFileError& Error) {
            EXPECT_EQ(Error.ErrorCode(), EXDEV);
            EXPECT_EQ(Error.FileName(), Target);
        }
    }
    EXPECT_EQ(ReadAll(Target), OldText);
    EXPECT_EQ(Temporaries(Folder), std::vector<std::string>());

    // A streaming write that is never committed (an exception on the way, an early return).
    {
        TzsAtomicFile File(Target);
        File.Write(NewText);
        EXPECT_EQ(Temporaries(Folder).size(), 1u);
    }
    EXPECT_EQ(ReadAll(Target), OldText);
    EXPECT_EQ(Temporaries(Folder), std::vector<std::string>());
}

TEST_F(AtomicFileTest, KilledWriterLeavesTheTargetAndItsTemporaryGoesAtTheNextWrite) {
    const std::string Target = Path("config.ini");
    Put(Target, OldText);
    // The child is killed with everything written and flushed, just before the rename.
    const int Status = InChild([&] {
        TzsAtomicFile File(Target);
        File.SetReplaceStep([](const std::string&, const std::string&) {
            ::raise(SIGKILL);
            return false;
        });
        File.Write(NewText);
        File.Commit();
        return 0;
    });
    ASSERT_TRUE(WIFSIGNALED(Status) && WTERMSIG(Status) == SIGKILL) << Status;
    EXPECT_EQ(ReadAll(Target), OldText);
    const std::vector<std::string> Left = Temporaries(Folder);
    ASSERT_EQ(Left.size(), 1u) << "the killed writer's temporary";
    EXPECT_EQ(Left[0].rfind(".config.ini.vantorel-tmp-", 0), 0u) << Left[0];
    EXPECT_EQ(ReadAll(Path(Left[0].c_str())), NewText);

    // Names that only look like ours, and a temporary of a writer that is still at work, stay.
    const std::vector<std::string> Others = {".config.ini.vantorel-tmp-abc",
                                             "x.vantorel-tmp-abcdef", ".x.vantorel-tmp-abc-ef",
                                             ".config.ini.tmp-1-0"};
    for (const std::string& Name : Others) {
        Put(Path(Name.c_str()), "someone else's\n");
    }
    auto Live = std::make_unique<TzsAtomicFile>(Path("other.csv"));
    const std::string LiveName = Live->TemporaryName();

    // Any write in the folder removes what the killed writer left.
    WriteFileAtomically(Path("unrelated.txt"), NewText);
    for (const std::string& Name : Others) {
        EXPECT_EQ(ReadAll(Path(Name.c_str())), "someone else's\n") << Name;
    }
    EXPECT_EQ(::access(Path(Left[0].c_str()).c_str(), F_OK), -1) << "left temporary removed";
    EXPECT_EQ(::access(LiveName.c_str(), F_OK), 0) << "a live writer's temporary is kept";
    Live->Write(NewText);
    Live->Commit();
    EXPECT_EQ(ReadAll(Path("other.csv")), NewText);
    EXPECT_EQ(Temporaries(Folder), std::vector<std::string>());
}

TEST_F(AtomicFileTest, StreamedFileHoldsEveryChunkInOrder) {
    const std::string Target = Path("export.csv");
    std::string Expected;
    TzsAtomicFile File(Target);
    for (int I = 0; I < 20000; ++I) {
        const std::string Line = std::to_string(I) + ",0.5\r\n";
        File.Write(Line);
        Expected += Line;
    }
    File.Write(std::string(3 * TzsAtomicFile::BufferSize, 'z')); // larger than the buffer
    Expected += std::string(3 * TzsAtomicFile::BufferSize, 'z');
    File.Write("end\r\n");
    Expected += "end\r\n";
    EXPECT_EQ(::access(Target.c_str(), F_OK), -1) << "nothing in place before the commit";
    File.Commit();
    EXPECT_EQ(ReadAll(Target), Expected);
    EXPECT_EQ(File.TemporaryName(), "");
    EXPECT_EQ(Temporaries(Folder), std::vector<std::string>());
}

} // namespace
