// Tests of the configuration file watcher: the real WatchConfigFile thread
// watches a file in a fresh temporary directory, the thread "Signals" passes
// the timer's expiries on, and ConfigChangedEvent is counted.
//
// Times are taken on the monotonic clock. A change is applied 2 s after the
// last notification; the tests accept 1.95 s to 2.7 s after the write, which
// is long enough for a loaded sanitizer run and short enough to tell the last
// write of a burst from the one 400 ms before it. "No change" is checked over
// 2.5 s, past the debounce.
#include "config/watcher.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "config/config.h"
#include "core/signals.h"
#include "support/worker.h"
#include "sync/event.h"
#include "testkit/files.h"

namespace {

const char kConfigName[] = "korvane.config.xml";
const int kEarliestMs = 1950;
const int kLatestMs = 2700;
const uint32_t kQuietMs = 2500;

int RemoveEntry(const char *path, const struct stat *, int, struct FTW *) {
    return remove(path);
}

// The inotify descriptors open in this process: their numbers, and whether
// any of them holds a watch (a "wd:" line in its fdinfo).
struct tInotifyState {
    int descriptors;
    bool watching;
};

tInotifyState InotifyState() {
    tInotifyState state = {0, false};
    DIR *fds = opendir("/proc/self/fd");
    if (fds == nullptr) return state;
    while (struct dirent *entry = readdir(fds)) {
        if (entry->d_name[0] == '.') continue;
        std::string link = std::string("/proc/self/fd/") + entry->d_name;
        char target[64];
        ssize_t length = readlink(link.c_str(), target, sizeof(target) - 1);
        if (length < 0) continue;
        target[length] = '\0';
        if (strcmp(target, "anon_inode:inotify") != 0) continue;
        state.descriptors++;
        std::string info = std::string("/proc/self/fdinfo/") + entry->d_name;
        FILE *file = fopen(info.c_str(), "r");
        if (file == nullptr) continue;
        char line[512];
        while (fgets(line, sizeof(line), file) != nullptr) {
            if (strncmp(line, "inotify wd:", 11) == 0) state.watching = true;
        }
        fclose(file);
    }
    closedir(fds);
    return state;
}

int SignalsThreadStatus = -1;

class WatcherTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { SignalsThreadStatus = InstallSignalHandlers(); }
    static void TearDownTestSuite() { StopSignalThread(); }

    void SetUp() override {
        ASSERT_EQ(SignalsThreadStatus, 0) << "the thread \"Signals\" did not start";
        ASSERT_EQ(InotifyState().descriptors, 0) << "an inotify descriptor is left over";
        char pattern[] = "/tmp/korvane-watcher-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr) << strerror(errno);
        dir_ = pattern;
        savedPath_ = ConfigFilePath;
        DeleteConfigTimer();
        EventInit(&ConfigChangedEvent, 0);
        FlagSet(ShutdownFlag, 0);
        FlagSet(IgnoreConfigChange, 0);
    }

    void TearDown() override {
        if (running_) StopWatcher();
        DeleteConfigTimer();
        ConfigFilePath = savedPath_;
        FlagSet(IgnoreConfigChange, 0);
        if (!dir_.empty()) nftw(dir_.c_str(), RemoveEntry, 8, FTW_DEPTH | FTW_PHYS);
    }

    // Starts the watcher on `path` and waits (at most 2 s) until its watch is
    // in place, so that no write of the test happens before it.
    void StartWatcher(const std::string &path, bool waitForWatch = true) {
        path_ = path;
        ConfigFilePath = path_.c_str();
        ASSERT_EQ(pthread_create(&thread_, nullptr, WatchConfigFile, nullptr), 0);
        running_ = true;
        if (!waitForWatch) return;
        int64_t start = MonotonicNs();
        while (!InotifyState().watching) {
            ASSERT_LT(MsSince(start), 2000) << "the watcher never watched " << path;
            SleepMs(5);
        }
    }

    // True if the thread ends within `ms`, and then joins it.
    bool JoinWithin(int ms) {
        struct timespec deadline;
        clock_gettime(CLOCK_REALTIME, &deadline);
        deadline.tv_sec += ms / 1000;
        deadline.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
        if (deadline.tv_nsec >= 1000000000L) {
            deadline.tv_sec++;
            deadline.tv_nsec -= 1000000000L;
        }
        if (pthread_timedjoin_np(thread_, nullptr, &deadline) != 0) return false;
        running_ = false;
        return true;
    }

    // Sets ShutdownFlag; the thread must end within 300 ms and leave no
    // inotify descriptor behind.
    void StopWatcher() {
        FlagSet(ShutdownFlag, 1);
        int64_t start = MonotonicNs();
        bool ended = JoinWithin(300);
        EXPECT_TRUE(ended) << "still running " << MsSince(start) << " ms after the shutdown";
        if (!ended && !JoinWithin(5000)) {
            fprintf(stderr, "the watcher does not end; aborting\n");
            abort();
        }
        EXPECT_EQ(InotifyState().descriptors, 0) << "the inotify descriptor was not closed";
    }

    // Expects exactly one count, 2 s after `writtenNs` (within the tolerance).
    void ExpectOneCountAfter(int64_t writtenNs, const char *what) {
        int result = EventWaitMs(&ConfigChangedEvent, kLatestMs + 1000);
        int64_t arrived = MonotonicNs();
        ASSERT_EQ(result, 0) << what << ": no change was signalled";
        double delayMs = (arrived - writtenNs) / 1e6;
        EXPECT_GE(delayMs, kEarliestMs) << what << ": signalled too early";
        EXPECT_LE(delayMs, kLatestMs) << what << ": signalled too late";
    }

    void ExpectNoCount(uint32_t ms, const char *what) {
        EXPECT_EQ(EventWaitMs(&ConfigChangedEvent, ms), -1) << what;
    }

    std::string Path(const char *name) const { return dir_ + "/" + name; }

    std::string dir_;
    std::string path_;
    const char *savedPath_ = nullptr;
    pthread_t thread_{};
    bool running_ = false;
};

TEST_F(WatcherTest, BurstOfWritesIsSignalledOnceTwoSecondsAfterTheLast) {
    std::string config = Path(kConfigName);
    ASSERT_TRUE(WriteFile(config, "<Config/>"));
    StartWatcher(config);

    int64_t first = MonotonicNs();
    ASSERT_TRUE(WriteFile(config, "<Config>1</Config>"));
    SleepMs(400);
    ASSERT_TRUE(WriteFile(config, "<Config>2</Config>"));
    SleepMs(400);
    ASSERT_TRUE(WriteFile(config, "<Config>3</Config>"));
    int64_t last = MonotonicNs();
    ASSERT_LT(MsSince(first), 1000) << "the three writes took too long to make a burst";

    ExpectOneCountAfter(last, "after the third write");
    ExpectNoCount(kQuietMs, "a burst must be signalled only once");
    EXPECT_NE(ConfigTimer.load(), -1);
}

TEST_F(WatcherTest, DeletingTheFileIsSignalled) {
    std::string config = Path(kConfigName);
    ASSERT_TRUE(WriteFile(config, "<Config/>"));
    StartWatcher(config);

    ASSERT_EQ(unlink(config.c_str()), 0);
    int64_t deleted = MonotonicNs();
    ExpectOneCountAfter(deleted, "after the deletion");
    ExpectNoCount(500, "one deletion, one change");
}

TEST_F(WatcherTest, OtherFilesInTheDirectoryAreNotSignalled) {
    std::string config = Path(kConfigName);
    ASSERT_TRUE(WriteFile(config, "<Config/>"));
    StartWatcher(config);

    // Names that share a beginning with the file's, and the longest name a
    // directory entry can have (its record is the largest inotify makes).
    const std::string longName = std::string(255, 'n');
    for (const char *name : {"other.xml", "korvane.config.xml.tmp", "korvane.config.xm", "korvane",
                             longName.c_str()}) {
        ASSERT_TRUE(WriteFile(Path(name), "x")) << name;
    }
    ASSERT_EQ(unlink(Path("other.xml").c_str()), 0);
    ExpectNoCount(kQuietMs, "only other files changed");

    // Still watching: the file's write amid many records of long names, so
    // that reads hold several records and records wait for the next read.
    for (int i = 0; i < 20; i++) {
        std::string name = std::string(200, 'a') + std::to_string(i);
        ASSERT_TRUE(WriteFile(Path(name.c_str()), "x"));
    }
    ASSERT_TRUE(WriteFile(config, "<Config>1</Config>"));
    int64_t written = MonotonicNs();
    for (int i = 0; i < 20; i++) {
        std::string name = std::string(250, 'b') + std::to_string(i);
        ASSERT_TRUE(WriteFile(Path(name.c_str()), "x"));
    }
    ExpectOneCountAfter(written, "the file's own write among the others");
    ExpectNoCount(300, "one write, one change");
}

TEST_F(WatcherTest, IgnoredSaveIsDroppedAndTheFlagCleared) {
    std::string config = Path(kConfigName);
    ASSERT_TRUE(WriteFile(config, "<Config/>"));
    StartWatcher(config);

    FlagSet(IgnoreConfigChange, 1);
    ASSERT_TRUE(WriteFile(config, "<Config>saved by Korvane</Config>"));
    int64_t start = MonotonicNs();
    while (FlagGet(IgnoreConfigChange) != 0 && MsSince(start) < 2000)
        SleepMs(5);
    EXPECT_EQ(FlagGet(IgnoreConfigChange), 0) << "the watcher did not clear the flag";
    ExpectNoCount(kQuietMs, "Korvane's own save must not be signalled");
}

TEST_F(WatcherTest, SymbolicLinkIsFollowedToItsTarget) {
    std::string linkDir = Path("link");
    std::string targetDir = Path("target");
    ASSERT_EQ(mkdir(linkDir.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(targetDir.c_str(), 0755), 0);
    std::string target = targetDir + "/settings.xml";
    std::string link = linkDir + "/" + kConfigName;
    ASSERT_TRUE(WriteFile(target, "<Config/>"));
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0) << strerror(errno);
    StartWatcher(link);

    // A file named as the target, but beside the link: not the one watched.
    // Were it taken for the file, its change would arrive 1 s before the
    // target's, too early for the check below.
    ASSERT_TRUE(WriteFile(linkDir + "/settings.xml", "<Config>beside</Config>"));
    SleepMs(1000);
    ASSERT_TRUE(WriteFile(target, "<Config>1</Config>"));
    int64_t written = MonotonicNs();
    ExpectOneCountAfter(written, "after the write to the link's target");
    ExpectNoCount(300, "one write to the target, one change");
}

TEST_F(WatcherTest, EndsByItselfWhenNothingCanBeWatched) {
    // Cut at 256 bytes, this target would name a file in a directory that
    // can be watched.
    std::string longTarget = dir_ + "/" + std::string(300, 't');
    ASSERT_EQ(symlink(longTarget.c_str(), Path("long-link").c_str()), 0);
    const std::vector<std::string> paths = {
        kConfigName,                          // no "/" in it
        Path("missing") + "/" + kConfigName,  // a directory that does not exist
        Path("long-link"),                    // link target of more than 255 bytes
        dir_ + "/" + std::string(300, 'p'),   // a path that does not fit
    };
    for (const std::string &path : paths) {
        SCOPED_TRACE(path);
        StartWatcher(path, false);
        EXPECT_TRUE(JoinWithin(1000)) << "the watcher did not give up";
        if (running_) {
            StopWatcher();
            FlagSet(ShutdownFlag, 0);
            continue;
        }
        EXPECT_EQ(InotifyState().descriptors, 0) << "the inotify descriptor was not closed";
        EXPECT_EQ(FlagGet(ShutdownFlag), 0);
    }
}

// Records as inotify lays them out: a header and a name padded with NULs.
void AppendRecord(std::vector<uint8_t> &buffer, uint32_t mask, const char *name, uint32_t length) {
    struct inotify_event header = {};
    header.wd = 1;
    header.mask = mask;
    header.len = length;
    const uint8_t *bytes = reinterpret_cast<const uint8_t *>(&header);
    buffer.insert(buffer.end(), bytes, bytes + sizeof(header));
    size_t nameBytes = std::min<size_t>(strlen(name), length);
    buffer.insert(buffer.end(), name, name + nameBytes);
    buffer.insert(buffer.end(), length - nameBytes, 0);
}

// Counts in an exact-size heap copy, so that a look past the end is caught
// by the address sanitizer.
uint32_t CountInCopy(const std::vector<uint8_t> &records, size_t length) {
    uint8_t *copy = new uint8_t[length == 0 ? 1 : length];
    memcpy(copy, records.data(), length);
    uint32_t count = CountRecordsNaming(copy, length, kConfigName);
    delete[] copy;
    return count;
}

TEST(CountRecordsNamingTest, CountsEveryRecordOfTheFileWhateverItsMask) {
    std::vector<uint8_t> records;
    AppendRecord(records, IN_IGNORED, "", 0);
    AppendRecord(records, IN_CLOSE_WRITE, kConfigName, 32);
    AppendRecord(records, IN_CLOSE_WRITE, "other.xml", 16);
    AppendRecord(records, IN_DELETE, kConfigName, 32);
    AppendRecord(records, IN_CLOSE_WRITE, "korvane.config.xml.tmp", 32);
    AppendRecord(records, IN_CLOSE_WRITE, "korvane", 16);
    AppendRecord(records, IN_ATTRIB, kConfigName, 48);
    EXPECT_EQ(CountInCopy(records, records.size()), 3u);
    EXPECT_EQ(CountInCopy(records, 0), 0u);
}

TEST(CountRecordsNamingTest, StopsAtARecordCutOffByTheEnd) {
    std::vector<uint8_t> records;
    AppendRecord(records, IN_CLOSE_WRITE, kConfigName, 32);
    size_t whole = records.size();
    AppendRecord(records, IN_CLOSE_WRITE, kConfigName, 32);
    // Cut inside the second record's name, inside its header, and just
    // after it.
    EXPECT_EQ(CountInCopy(records, whole + 16 + 20), 1u);
    EXPECT_EQ(CountInCopy(records, whole + 16), 1u);
    EXPECT_EQ(CountInCopy(records, whole + 10), 1u);
    EXPECT_EQ(CountInCopy(records, records.size()), 2u);
}

TEST(CountRecordsNamingTest, NameWithoutItsEndInsideTheRecordDoesNotMatch) {
    // The name fills its 16 bytes without a NUL; it must not be read beyond.
    std::vector<uint8_t> records;
    AppendRecord(records, IN_CLOSE_WRITE, "korvane.config.x", 16);
    EXPECT_EQ(CountRecordsNaming(records.data(), records.size(), "korvane.config.x"), 0u);
    EXPECT_EQ(CountInCopy(records, records.size()), 0u);
}

}  // namespace
