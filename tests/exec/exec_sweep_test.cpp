/*
 * exec_sweep_test.cpp - representative file and directory operations with
 * each platform call failing in turn: every run ends with a clean status,
 * no pool block or handle left over, and no data lost (a moved file is at
 * its source or at its target, whole).
 */
#include "tests/exec/volume_fixture.h"

#include <functional>
#include <map>

namespace {

using qtest::Counted;

class ExecSweepTest : public qtest::VolumeTest {
protected:
    /* Runs the scenario once to count its calls, then once per call with
     * that call failing.  Prepare lays the tree out afresh before each run,
     * Check judges what a failed run left. */
    void Sweep(const std::function<void()> &prepare, const std::function<NTSTATUS()> &run,
               const std::function<void(NTSTATUS)> &check)
    {
        prepare();
        sk::ClearFaults();
        ASSERT_TRUE(NT_SUCCESS(run()));
        uint64_t calls = sk::CallCount();
        ASSERT_GT(calls, 0u);
        for (uint64_t nth = 1; nth <= calls; nth++) {
            SCOPED_TRACE("call " + std::to_string(nth) + " of " + std::to_string(calls));
            Reset();
            prepare();
            sk::ClearFaults();
            sk::FailCall("", nth, STATUS_INSUFFICIENT_RESOURCES);
            NTSTATUS status = run();
            sk::ClearFaults();
            EXPECT_EQ(sk::PoolOutstandingBlocks(), 0u) << sk::PoolReport();
            EXPECT_EQ(sk::OpenHandleCount(), 0u) << sk::HandleReport();
            check(status);
        }
    }

    void Reset()
    {
        std::filesystem::remove_all(Host('C', ""));
        std::filesystem::remove_all(Host('D', ""));
        std::filesystem::create_directories(Host('C', ""));
        std::filesystem::create_directories(Host('D', ""));
    }

    /* Every file of the sample must be whole at its source or its target. */
    void ExpectNothingLost(const std::string &source, const std::string &target, char targetDrive)
    {
        for (const auto &file : files_) {
            bool atSource = Exists('C', source + "/" + file.first) &&
                            Read('C', source + "/" + file.first) == file.second;
            bool atTarget = Exists(targetDrive, target + "/" + file.first) &&
                            Read(targetDrive, target + "/" + file.first) == file.second;
            EXPECT_TRUE(atSource || atTarget) << file.first << " was lost";
        }
    }

    void LayOut(const std::string &dir)
    {
        for (const auto &file : files_)
            Write('C', dir + "/" + file.first, file.second);
    }

    std::map<std::string, std::string> files_ = {
        { "a.txt", "alpha" },
        { "sub/b.txt", std::string(COPY_BUFFER_BYTES + 10, 'b') },
        { "sub/deeper/c.txt", "gamma" },
    };
};

TEST_F(ExecSweepTest, MoveFileAcrossVolumes)
{
    Sweep([&] { Write('C', "a.txt", "precious"); },
          [&] {
              UNICODE_STRING s = Counted(u"\\??\\C:\\a.txt"), t = Counted(u"\\??\\D:\\a.txt");
              return MoveOneFile(FALSE, &s, &t);
          },
          [&](NTSTATUS) {
              bool atSource = Exists('C', "a.txt") && Read('C', "a.txt") == "precious";
              bool atTarget = Exists('D', "a.txt") && Read('D', "a.txt") == "precious";
              EXPECT_TRUE(atSource || atTarget);
          });
}

TEST_F(ExecSweepTest, MoveDirAcrossVolumes)
{
    Sweep([&] { LayOut("src"); },
          [&] {
              UNICODE_STRING s = Counted(u"\\??\\C:\\src"), t = Counted(u"\\??\\D:\\dst");
              return WalkDirectory(FALSE, &s, &t, WalkMove, FALSE, FALSE);
          },
          [&](NTSTATUS status) {
              ExpectNothingLost("src", "dst", 'D');
              if (NT_SUCCESS(status)) {
                  EXPECT_FALSE(Exists('C', "src"));
              }
          });
}

TEST_F(ExecSweepTest, RenameDirWithinAVolume)
{
    Sweep([&] { LayOut("src"); },
          [&] {
              UNICODE_STRING s = Counted(u"\\??\\C:\\src"), t = Counted(u"\\??\\C:\\renamed");
              return WalkDirectory(FALSE, &s, &t, WalkMove, FALSE, FALSE);
          },
          [&](NTSTATUS) { ExpectNothingLost("src", "renamed", 'C'); });
}

TEST_F(ExecSweepTest, CopyDirAndRemoveDir)
{
    Sweep([&] { LayOut("src"); },
          [&] {
              UNICODE_STRING s = Counted(u"\\??\\C:\\src"), t = Counted(u"\\??\\D:\\copy");
              return WalkDirectory(TRUE, &s, &t, WalkCopy, FALSE, FALSE);
          },
          [&](NTSTATUS) {
              for (const auto &file : files_)
                  EXPECT_EQ(Read('C', "src/" + file.first), file.second);
          });
    Sweep([&] { LayOut("src"); },
          [&] {
              UNICODE_STRING s = Counted(u"\\??\\C:\\src"), t = Counted(u"");
              return WalkDirectory(FALSE, &s, &t, WalkRemove, TRUE, TRUE);
          },
          [&](NTSTATUS status) {
              if (NT_SUCCESS(status)) {
                  EXPECT_FALSE(Exists('C', "src"));
              }
          });
}

} // namespace

namespace {

/* A copy over an existing file and a cross-volume move onto one, with each
 * allocation and then each platform call failing in turn: the target is
 * its old content or the whole new one, the source is intact, and no
 * temporary is left behind. */
class CopyThroughTemporarySweep : public ExecSweepTest {
protected:
    void SweepBoth(bool move)
    {
        auto prepare = [&] {
            Reset();
            Write('C', "app/new.dll", std::string(COPY_BUFFER_BYTES + 10, 'n'));
            Write(move ? 'D' : 'C', "app/app.dll", "old");
        };
        auto run = [&] {
            UNICODE_STRING s = Counted(u"\\??\\C:\\app\\new.dll");
            UNICODE_STRING t = Counted(move ? u"\\??\\D:\\app\\app.dll" : u"\\??\\C:\\app\\app.dll");
            return move ? MoveOneFile(TRUE, &s, &t) : CopyOneFile(TRUE, &s, &t);
        };
        const char drive = move ? 'D' : 'C';
        for (bool allocations : {true, false}) {
            prepare();
            sk::ClearFaults();
            ASSERT_EQ(run(), STATUS_SUCCESS);
            const uint64_t events = allocations ? sk::AllocationCount() : sk::CallCount();
            for (uint64_t nth = 1; nth <= events; nth++) {
                SCOPED_TRACE((allocations ? "allocation " : "call ") + std::to_string(nth));
                prepare();
                sk::ClearFaults();
                if (allocations)
                    sk::FailAllocation(nth);
                else
                    sk::FailCall("", nth, STATUS_INSUFFICIENT_RESOURCES);
                const NTSTATUS status = run();
                sk::ClearFaults();
                EXPECT_EQ(sk::PoolOutstandingBlocks(), 0u) << sk::PoolReport();
                EXPECT_EQ(sk::OpenHandleCount(), 0u) << sk::HandleReport();
                const std::string target = Read(drive, "app/app.dll");
                const bool sourceThere = Exists('C', "app/new.dll");
                EXPECT_TRUE(target == "old" || target == std::string(COPY_BUFFER_BYTES + 10, 'n'));
                if (!sourceThere) {
                    EXPECT_NE(target, "old") << "the moved file is lost";
                }
                for (char d : {'C', 'D'})
                    EXPECT_FALSE(Exists(d, "app/~qelmbar-copy0.tmp")) << status;
            }
        }
    }
};

TEST_F(CopyThroughTemporarySweep, CopyFileOverAnExistingTarget)
{
    SweepBoth(false);
}

TEST_F(CopyThroughTemporarySweep, MoveFileAcrossVolumesOntoAnExistingTarget)
{
    SweepBoth(true);
}

} // namespace
