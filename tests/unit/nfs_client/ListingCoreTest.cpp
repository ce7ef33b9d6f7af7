// What both protocols share: entry names, failure wording, the cookie guard,
// entry delivery.
#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

#include "nfs_client/ListingCore.h"

namespace nfsclient {
namespace {

NameVerdict Judge(const std::string& name) { return JudgeEntryName(name.data(), name.size()); }

TEST(EntryNames, OnlyNamesThatCanStandAsOnePathComponentAreUsable) {
    EXPECT_EQ(Judge("a.txt"), NameVerdict::Usable);
    EXPECT_EQ(Judge(" lead and trail "), NameVerdict::Usable);
    EXPECT_EQ(Judge("\xff\xfe"), NameVerdict::Usable);
    EXPECT_EQ(Judge("..."), NameVerdict::Usable);
    EXPECT_EQ(Judge("."), NameVerdict::DotEntry);
    EXPECT_EQ(Judge(".."), NameVerdict::DotEntry);
    EXPECT_EQ(Judge(""), NameVerdict::Unusable);
    EXPECT_EQ(Judge("a/b"), NameVerdict::Unusable);
    EXPECT_EQ(Judge("../x"), NameVerdict::Unusable);
    EXPECT_EQ(Judge(std::string("se\0cret.txt", 11)), NameVerdict::Unusable);
    EXPECT_EQ(Judge(std::string(kMaxEntryNameBytes, 'n')), NameVerdict::Usable);
    EXPECT_EQ(Judge(std::string(kMaxEntryNameBytes + 1, 'n')), NameVerdict::Unusable);
    EXPECT_EQ(PrintableName("a\0\n\\b", 5), "a\\x00\\x0a\\x5cb");
}

TEST(Wording, BothProtocolsShareOneTextPerCondition) {
    const Credentials who{65534, 65533};
    EXPECT_EQ(ConditionOfNfs3(2), Condition::NoEntry);
    EXPECT_EQ(ConditionOfNfs4(2), Condition::NoEntry);
    EXPECT_EQ(ConditionOfNfs3(13), Condition::AccessDenied);
    EXPECT_EQ(ConditionOfNfs4(13), Condition::AccessDenied);
    EXPECT_EQ(ConditionOfNfs4(10016), Condition::WrongSecurity);
    EXPECT_EQ(ConditionOfNfs3(10003), Condition::DirectoryChanged);
    EXPECT_EQ(ConditionOfNfs4(10027), Condition::DirectoryChanged);
    EXPECT_EQ(ConditionOfNfs3(5), Condition::Other);

    EXPECT_EQ(WordCondition(Condition::NoEntry, Nfs3StatusName(2), who),
              "no such directory (NFS3ERR_NOENT)");
    EXPECT_EQ(WordCondition(Condition::NoEntry, Nfs4StatusName(2), who),
              "no such directory (NFS4ERR_NOENT)");
    const std::string denied = WordCondition(Condition::AccessDenied, Nfs4StatusName(13), who);
    EXPECT_NE(denied.find("access denied (NFS4ERR_ACCESS) for uid 65534, gid 65533 (AUTH_SYS)"),
              std::string::npos)
        << denied;
    EXPECT_NE(WordCondition(Condition::WrongSecurity, Nfs4StatusName(10016), who).find("Kerberos"),
              std::string::npos);
    EXPECT_EQ(WordCondition(Condition::Other, Nfs3StatusName(5), who),
              "the server answered NFS3ERR_IO");
    EXPECT_EQ(Nfs4StatusName(10063), "NFS4ERR_SEQ_MISORDERED");
    EXPECT_EQ(Nfs4StatusName(99999), "NFSv4 status 99999");
    EXPECT_EQ(MountStatusName(13), "MNT3ERR_ACCES");
}

TEST(Wording, ARefusedMountNamesTheClientListAndAnUnprivilegedSourcePort) {
    const std::string privileged = WordMountRefused("MNT3ERR_ACCES", 700);
    EXPECT_NE(privileged.find("client list does not admit this host"), std::string::npos);
    EXPECT_EQ(privileged.find("privileged"), std::string::npos);
    const std::string unprivileged = WordMountRefused("MNT3ERR_ACCES", 40000);
    EXPECT_NE(unprivileged.find("privileged source port"), std::string::npos);
    EXPECT_NE(unprivileged.find("came from 40000"), std::string::npos);
    EXPECT_NE(unprivileged.find("run as root or allow insecure ports"), std::string::npos);
}

TEST(CookieGuard, ARepeatedEntryCookieIsFoundBeforeTheEntryComesTwice) {
    CookieGuard guard;
    EXPECT_FALSE(guard.Entry(0));  // the start of a directory is never an entry
    for (uint64_t cookie = 1; cookie <= 100000; ++cookie)
        ASSERT_TRUE(guard.Entry(cookie * 7919)) << cookie;
    EXPECT_TRUE(guard.NextPage(100000 * 7919));
    EXPECT_FALSE(guard.Entry(7919));
    EXPECT_FALSE(guard.Entry(50000 * 7919));
    EXPECT_TRUE(guard.Entry(~0ull));

    EXPECT_EQ(CheckNextPage(false, 5, guard),
              "the server sent a page without entries before the end of the directory");
    EXPECT_EQ(CheckNextPage(true, 5, guard), "");

    // Cookies that differ in their high bits only (a server's position
    // encoded above a hash, say) are told apart like any others.
    CookieGuard high;
    for (uint64_t k = 1; k <= 120000; ++k) ASSERT_TRUE(high.Entry(k << 40)) << k;
    EXPECT_FALSE(high.Entry(100000ull << 40));
    EXPECT_TRUE(high.Entry((100000ull << 40) + 1));

    // Past kRememberedEntries (memory stays bounded) only page starts are.
    CookieGuard many;
    for (uint64_t k = 1; k < CookieGuard::kRememberedEntries; ++k) ASSERT_TRUE(many.Entry(k));
    EXPECT_FALSE(many.Entry(1));
    EXPECT_TRUE(many.Entry(1));
    EXPECT_TRUE(many.NextPage(5));
    EXPECT_FALSE(many.NextPage(5));
}

class Recorder : public EntryReceiver {
public:
    bool OnEntry(const NFSItemInfo& entry) override {
        names.emplace_back(entry.name);
        if (throwAt == names.size()) throw std::runtime_error("receiver failed");
        return stopAt != names.size();
    }
    void OnNotice(const std::string& text) override {
        notices.push_back(text);
        throw std::runtime_error("a notice that fails");
    }
    std::vector<std::string> names;
    std::vector<std::string> notices;
    size_t stopAt = 0;
    size_t throwAt = 0;
};

TEST(EntryDelivery, AReceiverThatStopsOrThrowsAndATooLongListingEndItWithTheirOwnTexts) {
    NFSItemInfo entry{};
    entry.name = "x";
    std::string cause;

    Recorder stopping;
    stopping.stopAt = 3;
    EntryDelivery stopped(stopping, 100);
    EXPECT_TRUE(stopped.Deliver(entry, cause));
    EXPECT_TRUE(stopped.Deliver(entry, cause));
    EXPECT_FALSE(stopped.Deliver(entry, cause));
    EXPECT_EQ(cause, "listing stopped by the receiver after 2 entries");

    Recorder throwing;
    throwing.throwAt = 1;
    EntryDelivery threw(throwing, 100);
    EXPECT_FALSE(threw.Deliver(entry, cause));
    EXPECT_EQ(cause,
              "the receiver of the entries threw an exception after 0 entries; listing stopped");
    threw.Notice("kept for the log");  // the receiver's exception does not escape
    EXPECT_EQ(throwing.notices.size(), 1u);

    Recorder patient;
    EntryDelivery capped(patient, 2);
    EXPECT_TRUE(capped.Deliver(entry, cause));
    EXPECT_TRUE(capped.Deliver(entry, cause));
    EXPECT_FALSE(capped.Deliver(entry, cause));
    EXPECT_EQ(
        cause,
        "the folder has more than 2 entries, the most one listing hands out; listing stopped");
    EXPECT_EQ(patient.names.size(), 2u);
    EXPECT_EQ(capped.Delivered(), 2u);
}

TEST(EntryDelivery, ASizeBeyondWhatAFileCanHoldIsReportedAsTheLargestTheRecordsHold) {
    class Sizes : public EntryReceiver {
    public:
        bool OnEntry(const NFSItemInfo& entry) override {
            sizes.push_back(entry.size);
            return true;
        }
        void OnNotice(const std::string& text) override { notices.push_back(text); }
        std::vector<uint64_t> sizes;
        std::vector<std::string> notices;
    } receiver;
    EntryDelivery delivery(receiver, 10);
    NFSItemInfo entry{};
    entry.name = "huge";
    std::string cause;
    for (uint64_t size : {uint64_t{0x7FFFFFFFFFFFFFFF}, uint64_t{1} << 63, ~uint64_t{0}}) {
        entry.size = size;
        ASSERT_TRUE(delivery.Deliver(entry, cause));
    }
    EXPECT_EQ(receiver.sizes, std::vector<uint64_t>(3, kMaxEntrySize));
    ASSERT_EQ(receiver.notices.size(), 2u);
    EXPECT_EQ(receiver.notices[0],
              "entry [huge]: size 9223372036854775808 is beyond what a file can hold; reported as "
              "9223372036854775807");
}

TEST(FileTypes, BitsAndNamesForEveryKind) {
    EXPECT_EQ(TypeBits(1), 0100000u);
    EXPECT_EQ(TypeBits(2), 0040000u);
    EXPECT_EQ(TypeBits(5), 0120000u);
    EXPECT_EQ(TypeBits(0), 0u);
    EXPECT_EQ(TypeBits(8), 0u);
    EXPECT_STREQ(TypeName(5), "a symbolic link (not followed)");
    EXPECT_STREQ(TypeName(1), "a regular file");
    EXPECT_STREQ(TypeName(42), "not a directory");
}

}  // namespace
}  // namespace nfsclient
