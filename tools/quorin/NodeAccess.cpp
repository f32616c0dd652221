#include "NodeAccess.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

namespace quorin::cli {

namespace {

// The kernel's system.posix_acl_access value: a 4-byte version (2), then
// entries of tag (2 bytes), permissions (2) and id (4), little-endian.
constexpr uint32_t ACL_VERSION = 2;
constexpr size_t ACL_HEADER = 4;
constexpr size_t ACL_ENTRY = 8;
enum AclTag : uint16_t {
    USER_OBJ = 0x01,
    USER = 0x02,
    GROUP_OBJ = 0x04,
    GROUP = 0x08,
    MASK = 0x10,
    OTHER = 0x20,
};
constexpr unsigned READ_WRITE = 06;

struct AclEntry {
    uint16_t tag;
    uint16_t perm;
    uint32_t id;
};

uint32_t le(const std::string& bytes, size_t at, size_t n) {
    uint32_t v = 0;
    for (size_t i = 0; i < n; ++i) {
        v |= static_cast<uint32_t>(static_cast<unsigned char>(bytes[at + i])) << (8 * i);
    }
    return v;
}

// The entries of an ACL value; empty when there is none or it is unreadable.
std::vector<AclEntry> aclEntries(const std::string& acl) {
    std::vector<AclEntry> entries;
    if (acl.size() < ACL_HEADER || (acl.size() - ACL_HEADER) % ACL_ENTRY != 0 ||
        le(acl, 0, 4) != ACL_VERSION) {
        return entries;
    }
    for (size_t at = ACL_HEADER; at < acl.size(); at += ACL_ENTRY) {
        entries.push_back({static_cast<uint16_t>(le(acl, at, 2)),
                           static_cast<uint16_t>(le(acl, at + 2, 2)), le(acl, at + 4, 4)});
    }
    return entries;
}

bool inGroup(gid_t group, const Credentials& who) {
    if (who.gid == group) {
        return true;
    }
    for (gid_t g : who.groups) {
        if (g == group) {
            return true;
        }
    }
    return false;
}

bool grants(unsigned perm) {
    return (perm & READ_WRITE) == READ_WRITE;
}

std::string modeText(mode_t mode) {
    std::string text = S_ISCHR(mode) ? "c" : S_ISBLK(mode) ? "b" : S_ISDIR(mode) ? "d" : "-";
    const char* letters = "rwxrwxrwx";
    for (int i = 0; i < 9; ++i) {
        text += (mode & (0400 >> i)) != 0 ? letters[i] : '-';
    }
    return text;
}

std::string userName(uid_t uid) {
    struct passwd* pw = getpwuid(uid);
    return pw != nullptr ? pw->pw_name : std::to_string(uid);
}

std::string groupName(gid_t gid) {
    struct group* gr = getgrgid(gid);
    return gr != nullptr ? gr->gr_name : std::to_string(gid);
}

}  // namespace

Credentials Credentials::ofProcess() {
    Credentials who;
    who.uid = geteuid();
    who.gid = getegid();
    int n = getgroups(0, nullptr);
    if (n > 0) {
        who.groups.resize(static_cast<size_t>(n));
        n = getgroups(n, who.groups.data());
        who.groups.resize(n > 0 ? static_cast<size_t>(n) : 0);
    }
    return who;
}

bool NodeAccess::mayReadWrite(uid_t owner, gid_t group, mode_t mode, const std::string& acl,
                              const Credentials& who) {
    if (who.uid == 0) {
        return true;  // root passes the permission checks
    }
    std::vector<AclEntry> entries = aclEntries(acl);
    if (entries.empty()) {
        if (who.uid == owner) {
            return grants((mode >> 6) & 07);
        }
        if (inGroup(group, who)) {
            return grants((mode >> 3) & 07);
        }
        return grants(mode & 07);
    }
    // The kernel's order: owner, named users, groups (any that grants), other;
    // named entries and groups are limited by the mask.
    unsigned mask = 07;
    for (const AclEntry& e : entries) {
        if (e.tag == MASK) {
            mask = e.perm;
        }
    }
    for (const AclEntry& e : entries) {
        if (e.tag == USER_OBJ && who.uid == owner) {
            return grants(e.perm);
        }
    }
    for (const AclEntry& e : entries) {
        if (e.tag == USER && e.id == who.uid) {
            return grants(e.perm & mask);
        }
    }
    bool groupMatched = false;
    for (const AclEntry& e : entries) {
        bool member = (e.tag == GROUP_OBJ && inGroup(group, who)) ||
                      (e.tag == GROUP && inGroup(static_cast<gid_t>(e.id), who));
        if (member) {
            groupMatched = true;
            if (grants(e.perm & mask)) {
                return true;
            }
        }
    }
    if (groupMatched) {
        return false;
    }
    for (const AclEntry& e : entries) {
        if (e.tag == OTHER) {
            return grants(e.perm);
        }
    }
    return false;
}

NodeAccess NodeAccess::of(const std::string& node, const Credentials& who) {
    NodeAccess access;
    struct stat st {};
    if (node.empty() || stat(node.c_str(), &st) != 0) {
        return access;
    }
    const char* name = "system.posix_acl_access";
    ssize_t size = getxattr(node.c_str(), name, nullptr, 0);
    std::string acl(size > 0 ? static_cast<size_t>(size) : 0, '\0');
    ssize_t n = size > 0 ? getxattr(node.c_str(), name, &acl[0], acl.size()) : -1;
    acl.resize(n > 0 ? static_cast<size_t>(n) : 0);
    access.m_hasAcl = !acl.empty();
    access.m_verdict = mayReadWrite(st.st_uid, st.st_gid, st.st_mode, acl, who) ? Verdict::ALLOWED
                                                                                : Verdict::DENIED;
    access.m_description = modeText(st.st_mode) + (access.m_hasAcl ? "+" : "") + " " +
                           userName(st.st_uid) + ":" + groupName(st.st_gid);
    return access;
}

}  // namespace quorin::cli
