#include "util/file.hh"

#include "util/exception.hh"
#include "util/text_match_for_test.hh"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

namespace util {
namespace {

bool IsOpen(int fd) { return fcntl(fd, F_GETFD) != -1; }

// A fresh directory (canonical path, no trailing slash) removed afterwards.
class FileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/quarn_file_test.XXXXXX";
    ASSERT_TRUE(mkdtemp(tmpl));
    dir_ = std::filesystem::canonical(tmpl).string();
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string Path(const std::string &name) const { return dir_ + "/" + name; }

  // Creates `name` holding `contents` and opens it with `flags`.
  int FileWith(const std::string &name, const std::string &contents, int flags = O_RDONLY) {
    scoped_fd out(CreateOrThrow(Path(name).c_str()));
    WriteOrThrow(out.get(), contents.data(), contents.size());
    return open(Path(name).c_str(), flags);
  }

  std::string dir_;
};

// Both ends of a pipe.
struct Pipe {
  Pipe() {
    int fds[2];
    EXPECT_EQ(0, pipe(fds));
    read_end.reset(fds[0]);
    write_end.reset(fds[1]);
  }
  scoped_fd read_end, write_end;
};

TEST_F(FileTest, ScopedFdClosesOnResetAndKeepsAfterRelease) {
  int first = FileWith("a", "x");
  int second = FileWith("b", "y");
  {
    scoped_fd handle(first);
    handle.reset(second);
    EXPECT_FALSE(IsOpen(first));
    EXPECT_EQ(second, handle.release());
    EXPECT_EQ(-1, handle.get());
  }
  EXPECT_TRUE(IsOpen(second));
  close(second);
}

TEST(ScopedFdDeathTest, FailedCloseAborts) {
  EXPECT_DEATH({ scoped_fd handle(987); }, "Could not close file 987");
}

TEST(ScopedFileDeathTest, FailedCloseAborts) {
  EXPECT_DEATH(
      {
        scoped_FILE file(std::fopen("/dev/null", "r"));
        close(fileno(file.get()));
        file.reset();
      },
      "Could not close file 0x[0-9a-f]+");
}

TEST_F(FileTest, OpenReadOrThrowMissingFile) {
  std::string name = Path("missing");
  try {
    OpenReadOrThrow(name.c_str());
    FAIL();
  } catch (const ErrnoException &e) {
    std::string text = e.what();
    EXPECT_EQ(0u, text.find("util/file:")) << text;
    EXPECT_TRUE(Contains(text, " in int util::OpenReadOrThrow(const char*) threw ErrnoException because "
                               "`-1 == (ret = open(name, 0x0000))'.\n"))
        << text;
    EXPECT_TRUE(EndsWith(text, ".\nNo such file or directory while opening " + name)) << text;
    EXPECT_EQ(ENOENT, e.Error());
  }
}

TEST_F(FileTest, CreateOrThrowTruncatesWithMode0644) {
  mode_t old_mask = umask(0);
  scoped_fd created(CreateOrThrow(Path("new").c_str()));
  umask(old_mask);
  struct stat sb;
  ASSERT_EQ(0, fstat(created.get(), &sb));
  EXPECT_EQ(0644u, sb.st_mode & 0777);

  scoped_fd old(FileWith("full", "contents"));
  scoped_fd again(CreateOrThrow(Path("full").c_str()));
  EXPECT_EQ(0u, SizeFile(again.get()));
  WriteOrThrow(again.get(), "rw", 2);
}

TEST_F(FileTest, CreateOrThrowInMissingDirectory) {
  std::string name = Path("no/such");
  try {
    CreateOrThrow(name.c_str());
    FAIL();
  } catch (const ErrnoException &e) {
    std::string text = e.what();
    EXPECT_TRUE(Contains(text, "because `-1 == (ret = open(name, 0x0200 | 0x0400 | 0x0002, "
                               "0000400 | 0000200 | 0000040 | 0000004))'.\n"))
        << text;
    EXPECT_TRUE(EndsWith(text, "No such file or directory while creating " + name)) << text;
  }
}

TEST_F(FileTest, Sizes) {
  scoped_fd empty(FileWith("empty", ""));
  scoped_fd five(FileWith("five", "12345"));
  Pipe pipe;
  EXPECT_EQ(0u, SizeFile(empty.get()));
  EXPECT_EQ(5u, SizeFile(five.get()));
  EXPECT_EQ(kBadSize, SizeFile(pipe.read_end.get()));
  EXPECT_EQ(kBadSize, SizeFile(-1));
  EXPECT_EQ(0u, SizeOrThrow(empty.get()));
  try {
    SizeOrThrow(pipe.read_end.get());
    FAIL();
  } catch (const FDException &e) {
    std::string text = e.what();
    EXPECT_TRUE(Contains(text, "threw FDException because `ret == kBadSize'.\n")) << text;
    EXPECT_TRUE(EndsWith(text, "in fd " + std::to_string(pipe.read_end.get()) + " Failed to size")) << text;
  }
}

TEST_F(FileTest, IsSameFileThroughEveryName) {
  scoped_fd input(FileWith("input", "text"));
  scoped_fd other(FileWith("other", "text"));
  std::filesystem::create_symlink(Path("input"), Path("link"));
  std::filesystem::create_hard_link(Path("input"), Path("hard"));
  std::filesystem::create_symlink(Path("nowhere"), Path("dangling"));
  const struct {
    std::string path;
    bool same;
  } cases[] = {
      {Path("input"), true},     {Path("link"), true},  {Path("hard"), true},
      {dir_ + "/./input", true}, {"input", false},      {Path("other"), false},
      {Path("missing"), false},  {Path("dangling"), false}, {dir_, false},
  };
  for (const auto &c : cases) EXPECT_EQ(c.same, IsSameFile(input.get(), c.path.c_str())) << c.path;
  EXPECT_FALSE(IsSameFile(-1, Path("input").c_str()));
}

TEST_F(FileTest, Resize) {
  scoped_fd file(FileWith("f", "abc", O_RDWR));
  ResizeOrThrow(file.get(), 100);
  EXPECT_EQ(100u, SizeFile(file.get()));
  scoped_fd read_only(open(Path("f").c_str(), O_RDONLY));
  try {
    ResizeOrThrow(read_only.get(), 7);
    FAIL();
  } catch (const FDException &e) {
    std::string text = e.what();
    EXPECT_TRUE(Contains(text, "threw FDException because `ret'.\n")) << text;
    EXPECT_TRUE(EndsWith(text, "in " + Path("f") + " while resizing to 7 bytes")) << text;
  }
}

TEST(HolePunch, AlwaysUnsupported) {
  try {
    HolePunch(0, 0, 10);
    FAIL();
  } catch (const UnsupportedOSException &e) {
    EXPECT_TRUE(EndsWith(e.what(), " threw UnsupportedOSException.\n"
                                   "fallocate hole punching requires Linux and glibc >= 2.18"))
        << e.what();
  }
}

TEST_F(FileTest, ReadOrThrowNamesMissingCount) {
  scoped_fd file(FileWith("four", "abcd"));
  char buf[10];
  try {
    ReadOrThrow(file.get(), buf, 10);
    FAIL();
  } catch (const EndOfFileException &e) {
    std::string text = e.what();
    EXPECT_TRUE(Contains(text, "threw EndOfFileException because `ret == 0'.\nEnd of file in ")) << text;
    EXPECT_TRUE(EndsWith(text, "End of file in " + Path("four") + " but there should be 6 more bytes to read."))
        << text;
  }
  EXPECT_EQ(0, std::memcmp(buf, "abcd", 4));
}

TEST_F(FileTest, ReadOrEOF) {
  scoped_fd file(FileWith("four", "abcd"));
  char buf[10];
  EXPECT_EQ(4u, ReadOrEOF(file.get(), buf, 10));
  EXPECT_EQ(0, std::memcmp(buf, "abcd", 4));
  EXPECT_EQ(0u, ReadOrEOF(file.get(), buf, 10));
}

TEST(ReadFromPipe, ContinuesPartialReads) {
  Pipe pipe;
  WriteOrThrow(pipe.write_end.get(), "abc", 3);
  WriteOrThrow(pipe.write_end.get(), "de", 2);
  pipe.write_end.reset();
  char buf[10];
  EXPECT_EQ(5u, ReadOrEOF(pipe.read_end.get(), buf, 10));
  EXPECT_EQ(0, std::memcmp(buf, "abcde", 5));
}

TEST_F(FileTest, ReadWriteErrorsOnWrongDirection) {
  scoped_fd read_only(FileWith("f", "abcdef"));
  scoped_fd write_only(open(Path("f").c_str(), O_WRONLY));
  char buf[10];
  try {
    PartialRead(write_only.get(), buf, 10);
    FAIL();
  } catch (const FDException &e) {
    std::string text = e.what();
    EXPECT_TRUE(Contains(text, "threw FDException because `ret < 0'.\n")) << text;
    EXPECT_TRUE(EndsWith(text, "Bad file descriptor in " + Path("f") + " while reading 10 bytes")) << text;
  }
  try {
    WriteOrThrow(read_only.get(), "xyz", 3);
    FAIL();
  } catch (const FDException &e) {
    std::string text = e.what();
    EXPECT_TRUE(Contains(text, "threw FDException because `ret < 1'.\n")) << text;
    EXPECT_TRUE(EndsWith(text, "Bad file descriptor in " + Path("f") + " while writing 3 bytes")) << text;
    EXPECT_EQ(read_only.get(), e.FD());
  }
}

TEST(WriteToStream, EmptyWriteSkipsFailingStream) {
  scoped_FILE read_only(std::fopen("/dev/null", "r"));
  ASSERT_TRUE(read_only);
  WriteOrThrow(read_only.get(), "abc", 0);
  try {
    WriteOrThrow(read_only.get(), "abc", 3);
    FAIL();
  } catch (const ErrnoException &e) {
    std::string text = e.what();
    EXPECT_TRUE(Contains(text, "threw ErrnoException because `1 != std::fwrite(data, size, 1, to)'.\n")) << text;
    EXPECT_TRUE(EndsWith(text, "Short write; requested size 3")) << text;
  }
}

TEST_F(FileTest, ErsatzTransfersKeepPosition) {
  scoped_fd file(FileWith("ten", "0123456789", O_RDWR));
  SeekOrThrow(file.get(), 1);
  char buf[4];
  ErsatzPRead(file.get(), buf, 4, 3);
  EXPECT_EQ(0, std::memcmp(buf, "3456", 4));
  ErsatzPWrite(file.get(), "ab", 2, 9);
  EXPECT_EQ(1u, AdvanceOrThrow(file.get(), 0));
  EXPECT_EQ(11u, SizeFile(file.get()));
  char all[11];
  ErsatzPRead(file.get(), all, 11, 0);
  EXPECT_EQ(std::string("012345678ab"), std::string(all, 11));
}

TEST_F(FileTest, ErsatzPReadPastEnd) {
  scoped_fd file(FileWith("ten", "0123456789"));
  char buf[5];
  try {
    ErsatzPRead(file.get(), buf, 5, 8);
    FAIL();
  } catch (const EndOfFileException &e) {
    std::string text = e.what();
    EXPECT_TRUE(Contains(text, "because `ret == 0'.\nEnd of file for reading 3 bytes at 10 from ")) << text;
    EXPECT_TRUE(EndsWith(text, " from " + Path("ten"))) << text;
  }
  EXPECT_EQ(0, std::memcmp(buf, "89", 2));
}

TEST_F(FileTest, ErsatzErrorsHaveNoCondition) {
  scoped_fd read_only(FileWith("f", "abcdef"));
  scoped_fd write_only(open(Path("f").c_str(), O_WRONLY));
  char buf[4];
  try {
    ErsatzPRead(write_only.get(), buf, 4, 2);
    FAIL();
  } catch (const FDException &e) {
    std::string text = e.what();
    EXPECT_TRUE(Contains(text, " threw FDException.\nBad file descriptor in ")) << text;
    EXPECT_TRUE(EndsWith(text, " while reading 4 bytes at offset 2")) << text;
  }
  try {
    ErsatzPWrite(read_only.get(), "abcd", 4, 2);
    FAIL();
  } catch (const FDException &e) {
    std::string text = e.what();
    EXPECT_TRUE(Contains(text, " threw FDException.\nBad file descriptor in ")) << text;
    EXPECT_TRUE(EndsWith(text, " while writing 4 bytes at offset 2")) << text;
  }
}

TEST(FSync, PipeFails) {
  Pipe pipe;
  try {
    FSyncOrThrow(pipe.read_end.get());
    FAIL();
  } catch (const FDException &e) {
    std::string text = e.what();
    EXPECT_TRUE(Contains(text, "because `-1 == fsync(fd)'.\n")) << text;
    EXPECT_TRUE(EndsWith(text, "while syncing")) << text;
  }
}

TEST_F(FileTest, Seeks) {
  scoped_fd file(FileWith("ten", "0123456789"));
  EXPECT_EQ(5u, SeekOrThrow(file.get(), 5));
  EXPECT_EQ(3u, AdvanceOrThrow(file.get(), -2));
  EXPECT_EQ(3u, AdvanceOrThrow(file.get(), 0));
  EXPECT_EQ(10u, SeekEnd(file.get()));
}

TEST(Seeks, PipeMessages) {
  Pipe pipe;
  struct Case {
    std::optional<uint64_t> absolute;
    int64_t relative;
    std::string ending;
  } cases[] = {
      {5, 0, "while seeking to 5 whence 0"},
      {std::nullopt, -3, "while seeking to -3 whence 1"},
      {kBadSize, 0, "while seeking to -1 whence 0"},
  };
  for (const Case &c : cases) {
    try {
      if (c.absolute) {
        SeekOrThrow(pipe.read_end.get(), *c.absolute);
      } else {
        AdvanceOrThrow(pipe.read_end.get(), c.relative);
      }
      ADD_FAILURE() << c.ending;
    } catch (const FDException &e) {
      std::string text = e.what();
      EXPECT_TRUE(Contains(text, "because `(Offset)-1 == ret'.\nIllegal seek in fd ")) << text;
      EXPECT_TRUE(EndsWith(text, c.ending)) << text;
    }
  }
  EXPECT_THROW(SeekEnd(pipe.read_end.get()), FDException);
}

TEST_F(FileTest, FDOpenTransfersOwnership) {
  scoped_fd handle(FileWith("f", "abc", O_RDWR));
  scoped_FILE stream(FDOpenOrThrow(handle));
  EXPECT_EQ(-1, handle.get());
  char buf[3];
  ASSERT_EQ(1u, std::fread(buf, 3, 1, stream.get()));
  EXPECT_EQ(0, std::memcmp(buf, "abc", 3));

  scoped_fd reader(FileWith("g", "xyz"));
  scoped_FILE read_stream(FDOpenReadOrThrow(reader));
  EXPECT_EQ(-1, reader.get());
  EXPECT_EQ('x', std::fgetc(read_stream.get()));
}

TEST_F(FileTest, FDOpenFailureKeepsDescriptor) {
  scoped_fd read_only(FileWith("f", "abc"));
  int fd = read_only.get();
  try {
    FDOpenOrThrow(read_only);
    FAIL();
  } catch (const FDException &e) {
    std::string text = e.what();
    EXPECT_TRUE(Contains(text, "because `!ret'.\n")) << text;
    EXPECT_TRUE(EndsWith(text, "in " + Path("f") + " Could not fdopen for write")) << text;
  }
  EXPECT_EQ(fd, read_only.get());

  scoped_fd closed(987);
  try {
    FDOpenReadOrThrow(closed);
    FAIL();
  } catch (const FDException &e) {
    EXPECT_TRUE(EndsWith(e.what(), "Bad file descriptor in fd 987 Could not fdopen for read")) << e.what();
  }
  EXPECT_EQ(987, closed.release());
}

TEST_F(FileTest, Dup) {
  scoped_fd file(FileWith("f", "abc"));
  scoped_fd copy(DupOrThrow(file.get()));
  EXPECT_NE(file.get(), copy.get());
  char c;
  ReadOrThrow(copy.get(), &c, 1);
  EXPECT_EQ(1u, AdvanceOrThrow(file.get(), 0));
  try {
    DupOrThrow(987);
    FAIL();
  } catch (const FDException &e) {
    std::string text = e.what();
    EXPECT_TRUE(Contains(text, "because `ret == -1'.\n")) << text;
    EXPECT_TRUE(EndsWith(text, "Bad file descriptor in fd 987 in duplicating the file descriptor")) << text;
  }
}

TEST_F(FileTest, MakeTempIsUnlinkedAndUsable) {
  std::string base = Path("out.");
  scoped_fd temp(MakeTemp(base));
  // The name is the base, six characters from mkstemp, then the mark the
  // kernel gives to a deleted file.
  std::string name = NameFromFD(temp.get());
  ASSERT_EQ(base.size() + 6 + std::strlen(" (deleted)"), name.size()) << name;
  EXPECT_EQ(0u, name.find(base)) << name;
  EXPECT_TRUE(EndsWith(name, " (deleted)")) << name;
  EXPECT_TRUE(std::filesystem::is_empty(dir_));

  WriteOrThrow(temp.get(), "hello", 5);
  char buf[5];
  ErsatzPRead(temp.get(), buf, 5, 0);
  EXPECT_EQ(0, std::memcmp(buf, "hello", 5));
}

TEST_F(FileTest, MakeTempInMissingDirectory) {
  std::string base = Path("missing/out.");
  try {
    MakeTemp(base);
    FAIL();
  } catch (const ErrnoException &e) {
    std::string text = e.what();
    EXPECT_TRUE(Contains(text, "because `-1 == (ret = mkstemp_and_unlink(&name[0]))'.\n")) << text;
    EXPECT_TRUE(EndsWith(text, "No such file or directory while making a temporary based on " + base)) << text;
  }
}

TEST_F(FileTest, FMakeTempIsReadWrite) {
  scoped_FILE temp(FMakeTemp(Path("f")));
  WriteOrThrow(temp.get(), "data", 4);
  std::rewind(temp.get());
  char buf[4];
  ASSERT_EQ(1u, std::fread(buf, 4, 1, temp.get()));
  EXPECT_EQ(0, std::memcmp(buf, "data", 4));
  EXPECT_TRUE(std::filesystem::is_empty(dir_));
}

TEST_F(FileTest, MkstempAndUnlinkWritesNameIntoTemplate) {
  std::string tmpl = Path("tXXXXXX");
  scoped_fd temp(mkstemp_and_unlink(&tmpl[0]));
  EXPECT_NE(-1, temp.get());
  EXPECT_NE(Path("tXXXXXX"), tmpl);
  EXPECT_FALSE(std::filesystem::exists(tmpl));
}

// Signals are held back only while the file has a name: the caller's signal
// mask is as it was afterwards.
TEST_F(FileTest, MkstempAndUnlinkKeepsTheSignalMask) {
  sigset_t blocked, mask_before, mask_after;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGUSR2);
  pthread_sigmask(SIG_BLOCK, &blocked, &mask_before);
  std::string tmpl = Path("sXXXXXX");
  scoped_fd temp(mkstemp_and_unlink(tmpl.data()));
  pthread_sigmask(SIG_SETMASK, &mask_before, &mask_after);
  EXPECT_NE(-1, temp.get());
  EXPECT_FALSE(std::filesystem::exists(tmpl));
  EXPECT_TRUE(sigismember(&mask_after, SIGUSR2));
  EXPECT_FALSE(sigismember(&mask_after, SIGUSR1));
  EXPECT_FALSE(sigismember(&mask_after, SIGINT));
}

// Sets the four temporary-directory variables for one scope.
class TempEnvironment {
 public:
  static constexpr const char *kNames[] = {"TMPDIR", "TMP", "TEMPDIR", "TEMP"};

  explicit TempEnvironment(const std::vector<std::optional<std::string>> &values) {
    for (std::size_t i = 0; i < 4; ++i) {
      const char *old = std::getenv(kNames[i]);
      saved_[i] = old ? std::optional<std::string>(old) : std::nullopt;
      Set(kNames[i], values[i]);
    }
  }
  ~TempEnvironment() {
    for (std::size_t i = 0; i < 4; ++i) Set(kNames[i], saved_[i]);
  }

 private:
  static void Set(const char *name, const std::optional<std::string> &value) {
    if (value) {
      setenv(name, value->c_str(), 1);
    } else {
      unsetenv(name);
    }
  }
  std::optional<std::string> saved_[4];
};

TEST_F(FileTest, DefaultTempDirectory) {
  std::string file = Path("plain");
  scoped_fd made(FileWith("plain", ""));
  const std::nullopt_t none = std::nullopt;
  struct Case {
    std::vector<std::optional<std::string>> values;
    std::string expected;
  } cases[] = {
      {{none, none, none, none}, "/tmp/"},
      {{"", dir_, none, none}, dir_ + "/"},
      {{dir_ + "/", "/elsewhere", none, none}, dir_ + "/"},
      {{none, none, "", dir_}, dir_ + "/"},
      {{none, none, dir_, "/elsewhere"}, dir_ + "/"},
      {{Path("missing"), none, none, none}, Path("missing")},
      {{file, none, none, none}, file},
  };
  for (const Case &c : cases) {
    TempEnvironment environment(c.values);
    EXPECT_EQ(c.expected, DefaultTempDirectory());
  }
}

TEST_F(FileTest, NormalizeTempPrefix) {
  scoped_fd made(FileWith("plain", ""));
  struct Case {
    std::string in, out;
  } cases[] = {
      {"", ""}, {dir_, dir_ + "/"}, {dir_ + "/", dir_ + "/"}, {Path("plain"), Path("plain")},
      {Path("missing"), Path("missing")},
  };
  for (const Case &c : cases) {
    std::string prefix = c.in;
    NormalizeTempPrefix(prefix);
    EXPECT_EQ(c.out, prefix);
  }
}

TEST_F(FileTest, NameFromFDOfFiles) {
  scoped_fd file(FileWith("f", ""));
  EXPECT_EQ(Path("f"), NameFromFD(file.get()));
  // Longer than the size that lstat reports for the link, so the buffer grows.
  std::string deep = Path(std::string(150, 'd'));
  ASSERT_TRUE(std::filesystem::create_directory(deep));
  std::string long_name = deep + "/" + std::string(100, 'n');
  scoped_fd long_file(CreateOrThrow(long_name.c_str()));
  EXPECT_EQ(long_name, NameFromFD(long_file.get()));
}

TEST(NameFromFD, FallbackNames) {
  Pipe pipe;
  EXPECT_EQ("fd " + std::to_string(pipe.read_end.get()), NameFromFD(pipe.read_end.get()));
  EXPECT_EQ("fd 987", NameFromFD(987));
  errno = ENOSPC;
  NameFromFD(987);
  EXPECT_EQ(ENOSPC, errno);

  // Standard descriptors that are pipes get their conventional names.  The
  // names are collected while the pipe stands in and checked afterwards.
  std::string names[3];
  std::fflush(nullptr);
  for (int fd = 0; fd < 3; ++fd) {
    scoped_fd saved(dup(fd));
    dup2(pipe.write_end.get(), fd);
    names[fd] = NameFromFD(fd);
    dup2(saved.get(), fd);
  }
  EXPECT_EQ("stdin", names[0]);
  EXPECT_EQ("stdout", names[1]);
  EXPECT_EQ("stderr", names[2]);
}

TEST(StandardStreamNames, ExactMatchesOnly) {
  struct Case {
    const char *name;
    bool in, out;
  } cases[] = {
      {"-", true, true},           {"/dev/stdin", true, false}, {"/dev/stdout", false, true},
      {"/dev/stdin2", false, false}, {"", false, false},        {"--", false, false},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(c.in, InputFileIsStdin(c.name)) << c.name;
    EXPECT_EQ(c.out, OutputFileIsStdout(c.name)) << c.name;
  }
}

}  // namespace
}  // namespace util
