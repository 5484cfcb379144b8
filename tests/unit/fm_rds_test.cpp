// RDS reassembly and the record queue's ageing, on the library's own code
// without a session around it.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "fm_rds.h"
#include "fm_rds_builder.h"

using fmtest::AppendGroup;
using fmtest::CleanStream;
using fmtest::RawGroup;

namespace {

class Reassembly : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(FmRdsInit(&rds)); }
    void TearDown() override { FmRdsFree(&rds); }

    // Feeds bytes; returns the groups found.
    std::vector<FmRdsGroup> Feed(const std::vector<uint8_t>& bytes) {
        DWORD count = 0;
        FmRdsGroup* groups = FmRdsTakeBytes(&rds, bytes.data(), static_cast<int>(bytes.size()), &count);
        std::vector<FmRdsGroup> out(groups, groups + count);
        if (groups) LocalFree(groups);
        else EXPECT_EQ(count, 0u);
        return out;
    }

    FmRdsState rds{};
};

TEST_F(Reassembly, LockNeedsTwoGroupsAndTheNextBlockAWord) {
    auto stream = CleanStream(0xD318, 3);

    EXPECT_TRUE(Feed({stream.begin(), stream.begin() + 11}).empty());
    EXPECT_EQ(rds.fill, 11);
    EXPECT_TRUE(Feed({stream.begin() + 11, stream.begin() + 24}).empty()) << "two groups are not enough";
    EXPECT_EQ(rds.fill, 24);
    EXPECT_EQ(rds.syncPi, FM_RDS_NOT_LOCKED);

    auto groups = Feed({stream.begin() + 24, stream.begin() + 26});
    ASSERT_EQ(groups.size(), 2u);
    EXPECT_EQ(rds.syncPi, 0xD318u);
    EXPECT_EQ(rds.fill, 2) << "the third group's first bytes stay";
    EXPECT_EQ(groups[0].size, 16u);
    EXPECT_EQ(groups[0].blockA, 0xD318);
    EXPECT_EQ(groups[0].blockB, 0x0400);
    EXPECT_EQ(groups[1].blockB, 0x0401);
    EXPECT_EQ(groups[1].blockC, 7);
    EXPECT_EQ(groups[1].blockD, 0x2021);

    Reassembly::TearDown();
    Reassembly::SetUp();
    groups = Feed(stream);
    EXPECT_EQ(groups.size(), 3u) << "three groups in one piece";
    EXPECT_EQ(rds.fill, 0);
}

TEST_F(Reassembly, StatusBytesGiveErrorFlags) {
    std::vector<uint8_t> bytes;
    AppendGroup(bytes, RawGroup{0x1234, 1, 2, 3, 0x20, 0x21, 0x2A, 0x24});  // C in error
    AppendGroup(bytes, RawGroup{0x1234, 1, 2, 3, 0x20, 0x21, 0x22, 0x2C});  // only D in error
    AppendGroup(bytes, RawGroup{0x1234, 1, 2, 3, 0x28, 0x21, 0x2A, 0x24});  // A and C
    AppendGroup(bytes, RawGroup{0x1234, 1, 2, 3, 0x28, 0x29, 0x2A, 0x2C});  // all
    AppendGroup(bytes, RawGroup{0x1234, 1, 2, 3});
    auto groups = Feed(bytes);
    ASSERT_EQ(groups.size(), 5u);
    EXPECT_EQ(groups[0].errorFlags, 0x0010u);
    EXPECT_EQ(groups[1].errorFlags, 0u) << "block D has no flag";
    EXPECT_EQ(groups[2].errorFlags, 0x1010u);
    EXPECT_EQ(groups[3].errorFlags, 0x1110u);
    EXPECT_EQ(groups[4].errorFlags, 0u);

    // Bits other than bit 3 make the position no group at all.
    BYTE raw[12] = {0x12, 0x34, 0x20, 0, 1, 0x23, 0, 2, 0x22, 0, 3, 0x24};
    DWORD flags = 0;
    EXPECT_FALSE(FmRdsCheckGroup(raw, &flags));
    raw[5] = 0x21;
    raw[11] = 0x34;
    EXPECT_FALSE(FmRdsCheckGroup(raw, &flags));
    raw[11] = 0x24;
    EXPECT_TRUE(FmRdsCheckGroup(raw, &flags));
}

TEST_F(Reassembly, LockedScanSkipsBadGroupsAndFollowsShifts) {
    auto bytes = CleanStream(0xD318, 3);
    ASSERT_EQ(Feed(bytes).size(), 3u);

    // A group with a bad block B status byte is passed over; the next one of
    // the station is found.
    std::vector<uint8_t> next;
    AppendGroup(next, RawGroup{0xD318, 0x0499, 0, 0, 0x20, 0x23, 0x22, 0x24});
    AppendGroup(next, RawGroup{0xD318, 0x0477, 0, 0});
    auto groups = Feed(next);
    ASSERT_EQ(groups.size(), 1u);
    EXPECT_EQ(groups[0].blockB, 0x0477);

    // Three stray bytes slip the stream; the lock follows without relocking.
    std::vector<uint8_t> shifted = {0xAA, 0xBB, 0xCC};
    AppendGroup(shifted, RawGroup{0xD318, 0x0478, 0, 0});
    groups = Feed(shifted);
    ASSERT_EQ(groups.size(), 1u);
    EXPECT_EQ(groups[0].blockB, 0x0478);
    EXPECT_EQ(rds.syncPi, 0xD318u);
}

TEST_F(Reassembly, LossOfLockAndRelockOnAnotherStation) {
    ASSERT_EQ(Feed(CleanStream(0xD318, 3)).size(), 3u);

    // Fewer than 26 bytes without one of our groups: the lock is kept and the
    // bytes wait.
    auto other = CleanStream(0x9602, 5);
    EXPECT_TRUE(Feed({other.begin(), other.begin() + 25}).empty());
    EXPECT_EQ(rds.syncPi, 0xD318u);
    EXPECT_EQ(rds.fill, 25);

    // With 26 or more the lock is dropped and a new one is sought over the
    // same bytes.
    auto groups = Feed({other.begin() + 25, other.end()});
    ASSERT_FALSE(groups.empty());
    EXPECT_EQ(rds.syncPi, 0x9602u);
    EXPECT_EQ(groups[0].blockA, 0x9602);
    EXPECT_EQ(groups[0].blockB, 0x0400) << "the first group of the new station is kept";
    EXPECT_EQ(groups.size(), 5u);
}

TEST_F(Reassembly, GarbageKeepsAtMost25BytesWhileUnlocked) {
    std::vector<uint8_t> junk(1000);
    for (size_t i = 0; i < junk.size(); ++i) junk[i] = static_cast<uint8_t>(i * 37 + 11);
    EXPECT_TRUE(Feed(junk).empty());
    EXPECT_EQ(rds.fill, 25);
    EXPECT_EQ(rds.syncPi, FM_RDS_NOT_LOCKED);
}

TEST_F(Reassembly, AnyPieceLengthsGiveTheSameGroups) {
    std::vector<uint8_t> stream = {0x01, 0x02, 0x03, 0x04, 0x05};  // leading junk
    auto a = CleanStream(0x9602, 40);
    stream.insert(stream.end(), a.begin(), a.end());
    AppendGroup(stream, RawGroup{0x9602, 0x8000, 0x1111, 0x2222, 0x28, 0x21, 0x22, 0x24});
    auto b = CleanStream(0x9602, 40, 100);
    stream.insert(stream.end(), b.begin(), b.end());

    auto whole = Feed(stream);
    ASSERT_EQ(whole.size(), 81u);

    std::mt19937 rng(7);
    for (int round = 0; round < 20; ++round) {
        Reassembly::TearDown();
        Reassembly::SetUp();
        std::vector<FmRdsGroup> pieces;
        size_t at = 0;
        std::uniform_int_distribution<size_t> len(1, round < 10 ? 13 : 300);
        while (at < stream.size()) {
            size_t n = std::min(len(rng), stream.size() - at);
            auto got = Feed({stream.begin() + static_cast<long>(at), stream.begin() + static_cast<long>(at + n)});
            pieces.insert(pieces.end(), got.begin(), got.end());
            at += n;
            ASSERT_LE(rds.fill, 26);
        }
        ASSERT_EQ(pieces.size(), whole.size()) << "round " << round;
        for (size_t i = 0; i < whole.size(); ++i) {
            EXPECT_EQ(pieces[i].blockB, whole[i].blockB);
            EXPECT_EQ(pieces[i].blockC, whole[i].blockC);
            EXPECT_EQ(pieces[i].errorFlags, whole[i].errorFlags);
        }
    }
}

TEST_F(Reassembly, BufferGrowsByWhatIsMissingAndNeverShrinks) {
    ASSERT_EQ(rds.capacity, 2048);
    std::vector<uint8_t> partial = {0x11, 0x22, 0x33, 0x44, 0x55};  // unlocked remainder
    Feed(partial);
    ASSERT_EQ(rds.fill, 5);

    auto big = CleanStream(0x4401, 300);  // 3600 bytes in one delivery
    auto groups = Feed(big);
    EXPECT_EQ(groups.size(), 300u);
    EXPECT_EQ(rds.capacity, 5 + 3600 + 16);
    Feed(CleanStream(0x4401, 3));
    EXPECT_EQ(rds.capacity, 5 + 3600 + 16);
}

TEST_F(Reassembly, ResetForgetsLockAndPartialGroup) {
    auto stream = CleanStream(0xD318, 4);
    Feed({stream.begin(), stream.begin() + 30});
    ASSERT_EQ(rds.syncPi, 0xD318u);
    FmRdsReset(&rds);
    EXPECT_EQ(rds.syncPi, FM_RDS_NOT_LOCKED);
    EXPECT_EQ(rds.fill, 0);
    EXPECT_TRUE(Feed({stream.begin() + 30, stream.end()}).empty()) << "the tail of a group alone is no group";
}

// ---- the queue's ageing ----------------------------------------------------------------

TEST(NotificationAgeing, RecordsOlderThan120000msGoFromTheFront) {
    FmNotificationQueue queue;
    auto* groups = static_cast<FmRdsGroup*>(LocalAlloc(LPTR, sizeof(FmRdsGroup)));
    queue.push_back(FmMakeNotification(FMNOTIFY_RDS, 1000, 1, reinterpret_cast<ULONG_PTR>(groups)));
    queue.push_back(FmMakeNotification(FMNOTIFY_FREQUENCY, 2000, 90000, FMFREQ_TUNED));
    queue.push_back(FmMakeNotification(FMNOTIFY_FREQUENCY, 500, 91000, FMFREQ_TUNED));  // older, but behind

    FmDropStale(queue, 121000);  // exactly 120000 ms after the first
    ASSERT_EQ(queue.size(), 3u) << "a record exactly 120000 ms old stays";
    FmDropStale(queue, 121001);
    ASSERT_EQ(queue.size(), 2u);
    EXPECT_EQ(queue.front()->tick, 2000u);
    FmDropStale(queue, 122000);
    ASSERT_EQ(queue.size(), 2u) << "the scan stops at the first young record, whatever lies behind it";
    EXPECT_EQ(queue.back()->tick, 500u);
    FmDropStale(queue, 122001);
    EXPECT_TRUE(queue.empty());
    FmReleaseAll(queue);
    EXPECT_TRUE(queue.empty());
}

TEST(NotificationAgeing, AgeIsMeasuredAcrossTheTickWrap) {
    FmNotificationQueue queue;
    queue.push_back(FmMakeNotification(FMNOTIFY_FREQUENCY, 0xFFFFFF00u, 90000, 0));
    FmDropStale(queue, 0x00001000u);  // 4352 ms later
    EXPECT_EQ(queue.size(), 1u);
    FmDropStale(queue, 0xFFFFFF00u + 120001u);
    EXPECT_TRUE(queue.empty());
}

}  // namespace
