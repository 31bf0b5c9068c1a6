#include <zu/em.h>
#include <zu/fs.h>
#include <zu/url.h>

#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

using zu::String;
using zu::fs::IDirectory;
using zu::fs::IFile;
using zu::fs::Path;

namespace {

std::string cwd() {
  char buffer[4096];
  return std::string(getcwd(buffer, sizeof buffer));
}

// ------------------------------------------------------------------ paths

struct CanonicalCase {
  char const* text;
  char const* expected;  // a leading '.' stands for the current directory
};

class PathCanonical : public ::testing::TestWithParam<CanonicalCase> {};

TEST_P(PathCanonical, GivesTheAbsoluteResolvedText) {
  std::string expected = GetParam().expected;
  if (!expected.empty() && expected[0] == '.') {
    std::string base = cwd();
    expected = expected.size() == 1 ? base : (base == "/" ? "" : base) + expected.substr(1);
  }
  EXPECT_STREQ(expected.c_str(), Path(String(GetParam().text)).toString().cstr()) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(Texts, PathCanonical,
                         ::testing::Values(CanonicalCase{"", ""},
                                           CanonicalCase{"/", "/"},
                                           CanonicalCase{"//", "/"},
                                           CanonicalCase{"\\", "/"},
                                           CanonicalCase{"/a/b/", "/a/b"},
                                           CanonicalCase{"/a//b///c", "/a/b/c"},
                                           CanonicalCase{"\\a\\b\\\\c\\", "/a/b/c"},
                                           CanonicalCase{"/a/./b/.", "/a/b"},
                                           CanonicalCase{"/a/b/../c", "/a/c"},
                                           CanonicalCase{"/a/b/../..", "/"},
                                           CanonicalCase{"/..", "/"},
                                           CanonicalCase{"/../../x", "/x"},
                                           CanonicalCase{"/a/..b/c..", "/a/..b/c.."},
                                           CanonicalCase{"/a/.../b", "/a/.../b"},
                                           CanonicalCase{"/a/.hidden", "/a/.hidden"},
                                           CanonicalCase{".", "."},
                                           CanonicalCase{"./", "."},
                                           CanonicalCase{"x", "./x"},
                                           CanonicalCase{"x/y/../z", "./x/z"},
                                           CanonicalCase{"x\\y", "./x/y"}));

TEST(PathParent, DotDotOfARelativeTextClimbsFromTheCurrentDirectory) {
  std::string base = cwd();
  std::string up = base.substr(0, base.rfind('/'));
  if (up.empty()) up = "/";
  EXPECT_STREQ(up.c_str(), Path("..").toString().cstr());
  EXPECT_EQ(Path(".").getParent(), Path(".."));
}

TEST(PathParts, NameBaseAndExtension) {
  Path p("/dir/sub/archive.tar.gz");
  EXPECT_STREQ("archive.tar.gz", p.getFileName().cstr());
  EXPECT_STREQ("archive.tar", p.getBaseName().cstr());
  EXPECT_STREQ(".gz", p.getExtension().cstr());

  Path plain("/dir/README");
  EXPECT_STREQ("README", plain.getBaseName().cstr());
  EXPECT_STREQ("", plain.getExtension().cstr());

  Path dotted("/dir/.profile");
  EXPECT_STREQ("", dotted.getBaseName().cstr());
  EXPECT_STREQ(".profile", dotted.getExtension().cstr());

  EXPECT_STREQ("", Path("/").getFileName().cstr());
  EXPECT_STREQ("", Path().getFileName().cstr());
  EXPECT_STREQ("", Path().getExtension().cstr());
}

TEST(PathParts, ParentAndRoot) {
  Path p("c:/dir/sub/");
  EXPECT_STREQ("sub", p.getFileName().cstr());
  EXPECT_STREQ((cwd() == "/" ? "/c:/dir" : (cwd() + "/c:/dir")).c_str(), p.getParent().toString().cstr());

  EXPECT_STREQ("/dir", Path("/dir/sub").getParent().toString().cstr());
  EXPECT_STREQ("/", Path("/dir").getParent().toString().cstr());
  EXPECT_TRUE(Path("/").getParent().toString().empty());
  EXPECT_TRUE(Path().getParent().toString().empty());

  EXPECT_STREQ("/", Path("/dir/sub").getRoot().toString().cstr());
  EXPECT_STREQ("/", Path("/").getRoot().toString().cstr());
  EXPECT_TRUE(Path().getRoot().toString().empty());

  EXPECT_TRUE(Path("/a//b/") == Path("/a/b"));
  EXPECT_TRUE(Path("/a/b/") == "/a/b");
  EXPECT_TRUE(String("/a/b") == Path("/a/./b"));
  EXPECT_TRUE(Path("/a/b") != "/a/b/");
}

TEST(PathChanges, AppendAndSettersStayCanonical) {
  Path p("/a");
  EXPECT_STREQ("/a/b/c", p.append("b\\c/").toString().cstr());
  EXPECT_STREQ("/a/b", p.append("..").toString().cstr());
  EXPECT_STREQ("/x", Path().append("x").toString().cstr());

  Path file("/a/b.dat");
  EXPECT_STREQ("/a/b.txt", Path(file).setExtension(".txt").toString().cstr());
  EXPECT_STREQ("/a/c.dat", Path(file).setBaseName("c").toString().cstr());
  EXPECT_STREQ("/a/d", Path(file).setFileName("d").toString().cstr());
  EXPECT_STREQ("/q/r/b.dat", Path(file).setParent(Path("/q/r/")).toString().cstr());
  EXPECT_STREQ("/a/b", Path(file).setExtension("").toString().cstr());
  // A name that is itself a relative path is resolved too.
  EXPECT_STREQ("/a/x", Path(file).setFileName("y/../x").toString().cstr());
}

TEST(PathChanges, ToURLHasTheFileSchemeAndTheCanonicalText) {
  zu::URL url = Path("/tmp//a/./b").toURL();
  EXPECT_STREQ("file", url.getScheme().cstr());
  EXPECT_STREQ("/tmp/a/b", url.getPath().cstr());
}

// ------------------------------------------------------------------ files

class FsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/zu_fs_XXXXXX";
    char const* tmp = getenv("TMPDIR");
    std::string base = tmp && *tmp ? std::string(tmp) + "/zu_fs_XXXXXX" : std::string(pattern);
    std::vector<char> buffer(base.begin(), base.end());
    buffer.push_back('\0');
    ASSERT_NE(nullptr, mkdtemp(buffer.data()));
    dir_ = buffer.data();
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  String at(std::string const& name) const { return String((dir_ + "/" + name).c_str()); }

  void writeText(std::string const& name, std::string const& text) {
    std::ofstream out(dir_ + "/" + name, std::ios::binary);
    out << text;
  }
  std::string readText(std::string const& name) {
    std::ifstream in(dir_ + "/" + name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  std::string dir_;
};

// Descriptors of this process, to show that failing opens leak none and
// that every descriptor made is closed on exec.
std::set<int> openDescriptors() {
  std::set<int> fds;
  DIR* d = opendir("/proc/self/fd");
  if (!d) return fds;
  int own = dirfd(d);
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] != '.') fds.insert(atoi(e->d_name));
  }
  fds.erase(own);
  closedir(d);
  return fds;
}

unsigned int openCode(IFile& file, bool readOnly, unsigned int mode) {
  zu::em::CatchError guard(&file);
  EXPECT_FALSE(file.open(readOnly, mode));
  return guard.code();
}

TEST_F(FsTest, OpenModesCreateOrRequireTheFileAndNeverTruncate) {
  boost::shared_ptr<IFile> file = IFile::New(at("f.txt"));
  EXPECT_FALSE(file->isOpen());

  // Missing file: read-only and open-existing fail with "not found".
  EXPECT_EQ(1u, openCode(*file, true, 0));
  EXPECT_EQ(1u, openCode(*file, false, 0));
  EXPECT_EQ(1u, openCode(*file, false, 7));
  EXPECT_FALSE(zu::fs::exists(at("f.txt")));

  // Create-new makes it; a second create-new fails with "already exists".
  ASSERT_TRUE(file->open(false, zu::fs::FILE_MODE_CREATE_NEW));
  EXPECT_TRUE(file->isOpen());
  EXPECT_EQ(5u, file->toIO()->write("hello", 5));
  EXPECT_EQ(2u, openCode(*file, false, 2));
  EXPECT_FALSE(file->isOpen());

  // Open-always and open-existing keep the contents.
  ASSERT_TRUE(file->open(false, 1));
  EXPECT_EQ(5u, file->toRandomAccess()->size());
  EXPECT_EQ(0u, file->toRandomAccess()->position());
  EXPECT_EQ(1u, file->toIO()->write("J", 1));
  ASSERT_TRUE(file->open(false, 0));
  EXPECT_EQ(5u, file->toRandomAccess()->size());
  char buffer[16] = {};
  EXPECT_EQ(5u, file->toIO()->read(buffer, sizeof buffer));
  EXPECT_STREQ("Jello", buffer);
  EXPECT_TRUE(file->atEnd());
  EXPECT_TRUE(file->close());

  // Open-always on a missing file creates it, empty.
  boost::shared_ptr<IFile> other = IFile::New(at("g.txt"));
  ASSERT_TRUE(other->open(false, 1));
  EXPECT_EQ(0u, other->toRandomAccess()->size());
  EXPECT_TRUE(other->atEnd());

  // Read-only refuses writes and reports a bad handle for them.
  ASSERT_TRUE(file->open(true, 2));
  {
    zu::em::CatchError guard(file.get());
    EXPECT_EQ(0u, file->toIO()->write("x", 1));
    EXPECT_EQ(5u, guard.code());
  }
  EXPECT_STREQ("Jello", readText("f.txt").c_str());
}

TEST_F(FsTest, ErrorsCarryTheSystemsEnglishText) {
  boost::shared_ptr<IFile> file = IFile::New(at("missing"));
  zu::em::CatchError guard(file.get());
  EXPECT_FALSE(file->open(true, 0));
  EXPECT_EQ(1u, guard.code());
  EXPECT_STREQ("No such file or directory", guard.text().cstr());

  // A missing directory on the way is "not found" too; a file used as a
  // directory is the same code.
  writeText("plain", "x");
  boost::shared_ptr<IFile> below = IFile::New(at("plain/child"));
  zu::em::CatchError belowGuard(below.get());
  EXPECT_FALSE(below->open(false, 1));
  EXPECT_EQ(1u, belowGuard.code());
}

TEST_F(FsTest, ADirectoryDoesNotOpenAsAFile) {
  ASSERT_EQ(0, mkdir((dir_ + "/d").c_str(), 0777));
  boost::shared_ptr<IFile> file = IFile::New(at("d"));
  EXPECT_EQ(100u, openCode(*file, true, 0));
  EXPECT_EQ(100u, openCode(*file, false, 1));
}

TEST_F(FsTest, AFullDeviceAndOutOfRangePositionsReportTheirCodes) {
  {
    boost::shared_ptr<IFile> full = IFile::New("/dev/full");
    if (!full->open(false, 0)) GTEST_SKIP() << "/dev/full cannot be opened";
    zu::em::CatchError guard(full.get());
    EXPECT_EQ(0u, full->toIO()->write("x", 1));
    EXPECT_EQ(3u, guard.code());
    EXPECT_STREQ("No space left on device", guard.text().cstr());
  }
  // Positions and sizes beyond the signed range the system takes are
  // refused before reaching it, and leave the file as it was.
  writeText("r", "abc");
  boost::shared_ptr<IFile> file = IFile::New(at("r"));
  ASSERT_TRUE(file->open(false, 0));
  zu::em::CatchError guard(file.get());
  EXPECT_FALSE(file->toRandomAccess()->seek(~std::uint64_t(0)));
  EXPECT_EQ(100u, guard.code());
  EXPECT_FALSE(file->toRandomAccess()->setSize(~std::uint64_t(0)));
  EXPECT_EQ(100u, guard.code());
  EXPECT_EQ(0u, file->toRandomAccess()->position());
  EXPECT_EQ(3u, file->toRandomAccess()->size());
}

TEST_F(FsTest, EveryOperationOnAClosedFileReportsABadHandle) {
  boost::shared_ptr<IFile> file = IFile::New(at("c"));
  char byte = 0;
  auto expectCode5 = [&](auto call) {
    zu::em::CatchError guard(file.get());
    call();
    EXPECT_EQ(5u, guard.code());
    EXPECT_FALSE(guard.text().empty());
  };
  expectCode5([&] { EXPECT_EQ(0u, file->toIO()->read(&byte, 1)); });
  expectCode5([&] { EXPECT_EQ(0u, file->toIO()->write(&byte, 1)); });
  expectCode5([&] { EXPECT_EQ(0u, file->toRandomAccess()->size()); });
  expectCode5([&] { EXPECT_FALSE(file->toRandomAccess()->seek(0)); });
  expectCode5([&] { EXPECT_EQ(0u, file->toRandomAccess()->position()); });
  expectCode5([&] { EXPECT_FALSE(file->toRandomAccess()->setSize(0)); });
  expectCode5([&] { EXPECT_FALSE(file->close()); });
  // Nothing is left to read in a closed file.
  expectCode5([&] { EXPECT_TRUE(file->atEnd()); });

  ASSERT_TRUE(file->open(false, 1));
  ASSERT_TRUE(file->close());
  expectCode5([&] { EXPECT_FALSE(file->close()); });
}

TEST_F(FsTest, SizeChangesKeepThePosition) {
  boost::shared_ptr<IFile> file = IFile::New(at("s"));
  ASSERT_TRUE(file->open(false, 1));
  zu::func::IRandomAccess* ra = file->toRandomAccess();
  zu::func::IIO* io = file->toIO();
  ASSERT_EQ(10u, io->write("0123456789", 10));
  ASSERT_TRUE(ra->seek(4));

  ASSERT_TRUE(ra->setSize(2));
  EXPECT_EQ(2u, ra->size());
  EXPECT_EQ(4u, ra->position());
  EXPECT_TRUE(file->atEnd());

  ASSERT_TRUE(ra->setSize(6));
  EXPECT_EQ(6u, ra->size());
  EXPECT_EQ(4u, ra->position());
  EXPECT_FALSE(file->atEnd());
  char buffer[8];
  ASSERT_EQ(2u, io->read(buffer, sizeof buffer));
  EXPECT_EQ(0, buffer[0]);
  EXPECT_EQ(0, buffer[1]);
  EXPECT_EQ(std::string("01\0\0\0\0", 6), readText("s"));

  // Large sizes go past 32 bits without wrapping.
  std::uint64_t big = (std::uint64_t(1) << 32) + 3;
  ASSERT_TRUE(ra->setSize(big));
  EXPECT_EQ(big, ra->size());
  EXPECT_EQ(big, IFile::length(at("s")));
  ASSERT_TRUE(ra->seek(big - 1));
  EXPECT_EQ(big - 1, ra->position());
  EXPECT_FALSE(ra->seek(~std::uint64_t(0)));
}

TEST_F(FsTest, PositionsBeyondTheEnd) {
  boost::shared_ptr<IFile> file = IFile::New(at("b"));
  ASSERT_TRUE(file->open(false, 1));
  zu::func::IRandomAccess* ra = file->toRandomAccess();
  ASSERT_EQ(3u, file->toIO()->write("abc", 3));
  ASSERT_TRUE(ra->seek(10));
  EXPECT_TRUE(file->atEnd());
  char buffer[4];
  {
    zu::em::CatchError guard(file.get());
    EXPECT_EQ(0u, file->toIO()->read(buffer, sizeof buffer));
    EXPECT_EQ(0u, guard.code());  // end of data is no failure
  }
  EXPECT_EQ(3u, ra->size());
  ASSERT_EQ(1u, file->toIO()->write("z", 1));
  EXPECT_EQ(11u, ra->size());
  EXPECT_EQ(11u, ra->position());
  EXPECT_EQ(std::string("abc\0\0\0\0\0\0\0z", 11), readText("b"));
}

TEST_F(FsTest, FailedOpensLeakNoDescriptorAndOpenFilesCloseOnExec) {
  writeText("exists", "x");
  ASSERT_EQ(0, mkdir((dir_ + "/d").c_str(), 0777));
  std::set<int> before = openDescriptors();
  boost::shared_ptr<IFile> a = IFile::New(at("exists"));
  boost::shared_ptr<IFile> b = IFile::New(at("d"));
  boost::shared_ptr<IFile> c = IFile::New(at("none"));
  for (int i = 0; i < 3; ++i) {
    EXPECT_FALSE(a->open(false, 2));
    EXPECT_FALSE(b->open(true, 0));
    EXPECT_FALSE(c->open(true, 0));
  }
  EXPECT_EQ(before, openDescriptors());

  ASSERT_TRUE(a->open(true, 0));
  std::set<int> after = openDescriptors();
  ASSERT_EQ(before.size() + 1, after.size());
  for (int fd : after) {
    if (!before.count(fd)) {
      EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
    }
  }
  a.reset();  // destruction closes
  EXPECT_EQ(before, openDescriptors());
}

TEST_F(FsTest, LengthAndRemove) {
  writeText("five", "12345");
  ASSERT_EQ(0, mkdir((dir_ + "/d").c_str(), 0777));
  EXPECT_EQ(5u, IFile::length(at("five")));
  EXPECT_EQ(0u, IFile::length(at("none")));
  EXPECT_EQ(0u, IFile::length(at("d")));

  EXPECT_FALSE(IFile::remove(at("d")));  // not a file
  EXPECT_TRUE(IFile::remove(at("five")));
  EXPECT_FALSE(IFile::remove(at("five")));
  EXPECT_FALSE(zu::fs::exists(at("five")));
}

// ------------------------------------------------------------- path queries

TEST_F(FsTest, ExistsAndType) {
  writeText("f", "");
  ASSERT_EQ(0, mkdir((dir_ + "/d").c_str(), 0777));
  ASSERT_EQ(0, mkfifo((dir_ + "/p").c_str(), 0600));
  EXPECT_TRUE(zu::fs::exists(at("f")));
  EXPECT_TRUE(zu::fs::exists(at("d")));
  EXPECT_TRUE(zu::fs::exists(at("p")));
  EXPECT_FALSE(zu::fs::exists(at("none")));
  EXPECT_FALSE(zu::fs::exists(""));

  EXPECT_EQ(zu::fs::File, zu::fs::type(at("f")));
  EXPECT_EQ(zu::fs::Directory, zu::fs::type(at("d")));
  EXPECT_EQ(zu::fs::Unknown, zu::fs::type(at("p")));
  EXPECT_EQ(zu::fs::Unknown, zu::fs::type(at("none")));
  EXPECT_EQ(256, zu::fs::Unknown);
  // Backslashes are separators in queries as well.
  EXPECT_EQ(zu::fs::Directory, zu::fs::type(String((dir_ + "\\d\\").c_str())));
}

TEST_F(FsTest, TimesAreWholeSecondsAndNeverNegative) {
  writeText("t", "x");
  struct timespec times[2];
  times[0].tv_sec = 1000000000;  // access
  times[0].tv_nsec = 500000000;
  times[1].tv_sec = 1200000000;  // modification
  times[1].tv_nsec = 999000000;
  ASSERT_EQ(0, utimensat(AT_FDCWD, (dir_ + "/t").c_str(), times, 0));

  zu::sys::Time created, modified, accessed;
  ASSERT_TRUE(zu::fs::time(at("t"), created, modified, accessed));
  EXPECT_EQ(1200000000 * std::int64_t(1000), modified.toTimestamp());
  EXPECT_EQ(1000000000 * std::int64_t(1000), accessed.toTimestamp());
  EXPECT_GT(created.toSeconds(), 1200000000);  // birth or change: now-ish

  times[1].tv_sec = -100;
  times[1].tv_nsec = 0;
  if (utimensat(AT_FDCWD, (dir_ + "/t").c_str(), times, 0) == 0) {
    ASSERT_TRUE(zu::fs::time(at("t"), created, modified, accessed));
    EXPECT_EQ(0, modified.toTimestamp());
  }

  zu::sys::Time untouched(77, 0);
  zu::sys::Time c = untouched, m = untouched, a = untouched;
  EXPECT_FALSE(zu::fs::time(at("none"), c, m, a));
  EXPECT_EQ(untouched, c);
  EXPECT_EQ(untouched, m);
  EXPECT_EQ(untouched, a);
}

TEST_F(FsTest, RenameRefusesAnExistingTarget) {
  writeText("a", "A");
  writeText("b", "B");
  EXPECT_FALSE(zu::fs::rename(at("a"), at("b")));
  EXPECT_EQ("A", readText("a"));
  EXPECT_EQ("B", readText("b"));

  EXPECT_TRUE(zu::fs::rename(at("a"), at("c")));
  EXPECT_FALSE(zu::fs::exists(at("a")));
  EXPECT_EQ("A", readText("c"));
  EXPECT_FALSE(zu::fs::rename(at("a"), at("d")));

  // Directories move with their contents, and are refused the same way.
  ASSERT_EQ(0, mkdir((dir_ + "/d1").c_str(), 0777));
  writeText("d1/inner", "I");
  ASSERT_EQ(0, mkdir((dir_ + "/d2").c_str(), 0777));
  EXPECT_FALSE(zu::fs::rename(at("d1"), at("d2")));
  EXPECT_TRUE(zu::fs::rename(at("d1"), at("d2/moved")));
  EXPECT_EQ("I", readText("d2/moved/inner"));
}

TEST_F(FsTest, RenameMovesFilesToAnotherFileSystem) {
  struct stat here, shm;
  if (stat(dir_.c_str(), &here) != 0 || stat("/dev/shm", &shm) != 0 || here.st_dev == shm.st_dev)
    GTEST_SKIP() << "no second file system to move to";
  char pattern[] = "/dev/shm/zu_fs_XXXXXX";
  if (!mkdtemp(pattern)) GTEST_SKIP() << "/dev/shm is not writable";
  std::string other = pattern;
  writeText("f", std::string(200000, 'q'));
  chmod((dir_ + "/f").c_str(), 0640);
  writeText("taken", "T");

  String away((other + "/f").c_str());
  EXPECT_TRUE(zu::fs::rename(at("f"), away));
  EXPECT_FALSE(zu::fs::exists(at("f")));
  EXPECT_EQ(200000u, IFile::length(away));
  struct stat st;
  ASSERT_EQ(0, stat(away.cstr(), &st));
  EXPECT_EQ(0640u, st.st_mode & 0777);

  // Back onto an existing name: refused, both files kept.
  EXPECT_FALSE(zu::fs::rename(away, at("taken")));
  EXPECT_EQ("T", readText("taken"));
  EXPECT_EQ(200000u, IFile::length(away));
  // Directories do not move across.
  ASSERT_EQ(0, mkdir((dir_ + "/d").c_str(), 0777));
  EXPECT_FALSE(zu::fs::rename(at("d"), String((other + "/d").c_str())));
  EXPECT_TRUE(zu::fs::exists(at("d")));

  std::error_code ignored;
  std::filesystem::remove_all(other, ignored);
}

// ------------------------------------------------------------- directories

TEST_F(FsTest, ListingsFilterByTypeSkipDotNamesAndAreSorted) {
  for (char const* name : {"b.txt", "A.txt", "_x", ".hidden", "z\xc3\xa4"}) writeText(name, "");
  for (char const* name : {"sub", ".git", "Dir"}) ASSERT_EQ(0, mkdir((dir_ + "/" + name).c_str(), 0777));
  ASSERT_EQ(0, mkfifo((dir_ + "/pipe").c_str(), 0600));

  auto list = [&](unsigned int mask) {
    std::vector<std::string> names;
    boost::shared_ptr<IDirectory> d = IDirectory::New(String(dir_.c_str()));
    if (d->open(mask)) {
      EXPECT_TRUE(d->isOpen());
      do names.push_back(d->name().cstr());
      while (d->next());
      EXPECT_TRUE(d->isOpen());  // stays open at the end
      EXPECT_STREQ("", d->name().cstr());
      EXPECT_FALSE(d->next());
    } else {
      EXPECT_FALSE(d->isOpen());
    }
    return names;
  };
  typedef std::vector<std::string> Names;
  EXPECT_EQ((Names{"A.txt", "Dir", "_x", "b.txt", "pipe", "sub", "z\xc3\xa4"}), list(0x1FF));
  EXPECT_EQ((Names{"A.txt", "_x", "b.txt", "z\xc3\xa4"}), list(zu::fs::File));
  EXPECT_EQ((Names{"Dir", "sub"}), list(zu::fs::Directory));
  EXPECT_EQ((Names{"pipe"}), list(zu::fs::Unknown));
  EXPECT_EQ((Names{"A.txt", "Dir", "_x", "b.txt", "sub", "z\xc3\xa4"}), list(zu::fs::File | zu::fs::Directory));
  EXPECT_EQ(Names{}, list(2));
}

TEST_F(FsTest, ListingsOfEmptyOrMissingDirectoriesFail) {
  ASSERT_EQ(0, mkdir((dir_ + "/empty").c_str(), 0777));
  writeText("empty/.only-dots", "");
  boost::shared_ptr<IDirectory> d = IDirectory::New(at("empty"));
  EXPECT_FALSE(d->open(0x1FF));
  EXPECT_FALSE(d->isOpen());
  EXPECT_STREQ("", d->name().cstr());
  EXPECT_FALSE(d->next());

  EXPECT_FALSE(IDirectory::New(at("none"))->open(0x1FF));
  writeText("f", "");
  EXPECT_FALSE(IDirectory::New(at("f"))->open(0x1FF));
  EXPECT_STREQ((dir_ + "/f").c_str(), IDirectory::New(at("f//"))->path().cstr());

  // Reopening starts again, close clears the name.
  writeText("empty/one", "");
  ASSERT_TRUE(d->open(0x1FF));
  EXPECT_STREQ("one", d->name().cstr());
  EXPECT_FALSE(d->next());
  ASSERT_TRUE(d->open(0x1FF));
  EXPECT_STREQ("one", d->name().cstr());
  d->close();
  EXPECT_FALSE(d->isOpen());
  EXPECT_STREQ("", d->name().cstr());
}

TEST_F(FsTest, MakeAndRemoveDirectories) {
  EXPECT_FALSE(IDirectory::make(at("a/b/c"), false));
  EXPECT_FALSE(zu::fs::exists(at("a")));
  EXPECT_TRUE(IDirectory::make(at("a/b/c"), true));
  EXPECT_EQ(zu::fs::Directory, zu::fs::type(at("a/b/c")));
  EXPECT_TRUE(IDirectory::make(at("a/b/c"), false));  // already there
  EXPECT_TRUE(IDirectory::make(at("a/d"), false));

  writeText("file", "x");
  EXPECT_TRUE(IDirectory::make(at("file"), false));  // exists, whatever it is
  EXPECT_FALSE(IDirectory::make(at("file/sub"), true));
  EXPECT_FALSE(IDirectory::make("", true));

  EXPECT_FALSE(IDirectory::remove(at("a/b")));  // not empty
  EXPECT_TRUE(IDirectory::remove(at("a/b/c")));
  EXPECT_TRUE(IDirectory::remove(at("a/b")));
  EXPECT_FALSE(IDirectory::remove(at("a/b")));
  EXPECT_FALSE(IDirectory::remove(at("file")));
}

}  // namespace
