// Whether a user may open a device node for reading and writing, worked
// out from the node's owner, mode and access control list the way the
// kernel does, so the tool can say why a reader cannot be opened, for this
// user or, in tests, for another.
//
// udev's "uaccess" tag gives the user logged in at the seat access through
// an ACL entry (setfacl), not through the mode: the ACL is read too.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace quorin::cli {

struct Credentials {
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<gid_t> groups;  // supplementary groups
    // The process's effective user, group and supplementary groups.
    static Credentials ofProcess();
};

class NodeAccess {
public:
    enum class Verdict { ALLOWED, DENIED, NO_NODE };

    // Looks at the node (stat and its access ACL, following links).
    static NodeAccess of(const std::string& node, const Credentials& who);
    // The verdict for a node with this owner, group, mode and ACL (the
    // system.posix_acl_access value, "" for none).
    static bool mayReadWrite(uid_t owner, gid_t group, mode_t mode, const std::string& acl,
                             const Credentials& who);

    Verdict verdict() const { return m_verdict; }
    // "crw-rw---- root:plugdev, ACL" as ls shows it; "" without a node.
    const std::string& description() const { return m_description; }
    bool hasAcl() const { return m_hasAcl; }

private:
    Verdict m_verdict = Verdict::NO_NODE;
    std::string m_description;
    bool m_hasAcl = false;
};

}  // namespace quorin::cli
