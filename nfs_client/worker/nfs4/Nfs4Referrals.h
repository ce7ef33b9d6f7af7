// NFSv4 referrals: folders a server has moved to another server (an entry
// whose rdattr_error is NFS4ERR_MOVED, a walk that meets NFS4ERR_MOVED).
// Their targets are read from the fs_locations attribute and reported,
// never followed: a server could point the client at any host.
#pragma once

#include <string>
#include <vector>

namespace nfsclient {

class Nfs4Channel;
struct Call;

// Referral entries of one listing whose targets are looked up; the rest are
// noticed without one.
constexpr size_t kReferralTargetsRead = 16;

// Notices each referral entry `names` of `directory` (reached as `handle`)
// (at most kReferralTargetsRead) with its target: "NFS server A, folder D:
// entry [N] is a referral to S:/P", read with LOOKUP and GETATTR of
// fs_locations, all in flight at once; a target that cannot be read is
// noticed with why. Fails the call only when the connection does.
void NoticeReferrals(Nfs4Channel& channel, const std::vector<char>& handle,
                     const std::string& directory, const std::vector<std::string>& names);

// Notices a referral entry whose target is not read (beyond the first
// kReferralTargetsRead of a listing).
void NoticeUnreadReferral(const Call& call, const std::string& directory, const std::string& name);

// Fails the call for a walk that met NFS4ERR_MOVED at the folder made of the
// first `count` of `components`: "the folder [P] is a referral to S:/T;
// browse that file server", the target read with GETATTR of fs_locations
// from `handle` (the folder of the first `first` components; null for the
// root). Under the step `step`.
void FailReferral(Nfs4Channel& channel, const std::vector<char>* handle,
                  const std::vector<std::string>& components, size_t first, size_t count,
                  const std::string& step);

}  // namespace nfsclient
