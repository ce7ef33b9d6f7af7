#include "nfs_client/worker/nfs4/Nfs4Referrals.h"

#include <list>  // std::list

#include "nfs_client/Paths.h"  // JoinServerPath
#include "nfs_client/worker/nfs4/Nfs4Channel.h"
#include "nfs_client/worker/Protocol.h"

namespace nfsclient {
namespace {

constexpr AttrMask kLocations = MaskOf({kAttrFsLocations});

// One target being read: what was sent, and the target or why not.
struct Target {
    std::vector<nfs_opnum4> sent;
    std::string target;
    std::string why = "the server did not answer";
};

void OnLocations(Connection&, void* data, void* arg) {
    Target& t = *static_cast<Target*>(arg);
    const Nfs4Reply reply(*static_cast<const v41::Compound41Res*>(data), t.sent);
    if (!reply.WellFormed()) {
        t.why = reply.Why();
        return;
    }
    if (reply.Status() != NFS4_OK) {
        t.why = "the server answered " + Nfs4StatusName(reply.FailedStatus());
        return;
    }
    nfs_resop4 holder;
    DecodeReferralTarget(reply.Attrs(reply.Count() - 1, holder), t.target, t.why);
}

}  // namespace

void NoticeReferrals(Nfs4Channel& channel, const std::vector<char>& handle,
                     const std::string& directory, const std::vector<std::string>& names) {
    const std::string where = FolderWhere(channel.TheCall().address, directory);
    std::list<Target> targets;  // stable addresses for the handlers
    for (size_t i = 0; i < names.size() && i < kReferralTargetsRead; ++i) {
        Compound compound;
        compound.PutFh(handle);
        compound.Lookup(names[i]);
        compound.GetAttr(kLocations);
        targets.emplace_back();
        targets.back().sent = compound.Ops();
        channel.Send(std::move(compound), &OnLocations, &targets.back(),
                     "listing of " + directory + ", target of a referral");
    }
    if (!channel.Drain()) return;
    auto target = targets.begin();
    for (size_t i = 0; i < names.size() && target != targets.end(); ++i, ++target) {
        const std::string what = target->target.empty()
                                     ? " is a referral (target not read: " + target->why + ")"
                                     : " is a referral to " + target->target;
        channel.TheCall().Notice(where + ": entry [" +
                                 PrintableName(names[i].data(), names[i].size()) + "]" + what);
    }
}

void NoticeUnreadReferral(const Call& call, const std::string& directory, const std::string& name) {
    call.Notice(FolderWhere(call.address, directory) + ": entry [" +
                PrintableName(name.data(), name.size()) +
                "] is a referral (target not read: only the first " +
                std::to_string(kReferralTargetsRead) + " of a folder are)");
}

void FailReferral(Nfs4Channel& channel, const std::vector<char>* handle,
                  const std::vector<std::string>& components, size_t first, size_t count,
                  const std::string& step) {
    const std::string folder = JoinServerPath(std::vector<std::string>(
        components.begin(), components.begin() + static_cast<long>(count)));
    Compound compound;
    if (handle == nullptr)
        compound.PutRootFh();
    else
        compound.PutFh(*handle);
    for (size_t i = first; i < count; ++i) compound.Lookup(components[i]);
    compound.GetAttr(kLocations);
    Target target;
    target.sent = compound.Ops();
    channel.Send(std::move(compound), &OnLocations, &target, step);
    if (!channel.Drain()) return;
    if (target.target.empty())
        channel.Link().Fail(step,
                            "the folder [%s] is a referral to another file server, which could "
                            "not be read (%s); ask the NAS's administrator where it moved",
                            folder.c_str(), target.why.c_str());
    else
        channel.Link().Fail(step, "the folder [%s] is a referral to %s; browse that file server",
                            folder.c_str(), target.target.c_str());
}

}  // namespace nfsclient
