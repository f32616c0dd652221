// Who may open a device node: owner, group and mode, and the access ACL that
// udev's "uaccess" tag adds, evaluated as the kernel does.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>

#include "NodeAccess.h"

using namespace quorin::cli;

namespace {

// An access ACL value: version 2, then (tag, permissions, id) entries.
std::string acl(std::initializer_list<std::array<uint32_t, 3>> entries) {
    std::string v;
    auto put = [&](uint32_t x, int n) {
        for (int i = 0; i < n; ++i) {
            v += static_cast<char>((x >> (8 * i)) & 0xFF);
        }
    };
    put(2, 4);
    for (const auto& e : entries) {
        put(e[0], 2);
        put(e[1], 2);
        put(e[2], 4);
    }
    return v;
}

Credentials user(uid_t uid, gid_t gid, std::vector<gid_t> groups = {}) {
    Credentials c;
    c.uid = uid;
    c.gid = gid;
    c.groups = std::move(groups);
    return c;
}

}  // namespace

TEST(NodeAccessTest, ModeOwnerGroupOtherAndAcl) {
    // The seat user 1000 as uaccess leaves a root:root 0600 node: user:1000:rw-.
    const std::string uaccess =
        acl({{0x01, 6, 0}, {0x02, 6, 1000}, {0x04, 0, 0}, {0x10, 6, 0}, {0x20, 0, 0}});
    const std::string masked =
        acl({{0x01, 6, 0}, {0x02, 6, 1000}, {0x04, 0, 0}, {0x10, 4, 0}, {0x20, 0, 0}});
    const struct {
        const char* what;
        mode_t mode;
        gid_t group;
        std::string acl;
        Credentials who;
        bool allowed;
    } rows[] = {
        {"root", 0600, 0, "", user(0, 0), true},
        {"others, 0600", 0600, 0, "", user(1000, 1000), false},
        {"others, 0666", 0666, 0, "", user(1000, 1000), true},
        {"group member", 0660, 46, "", user(1000, 1000, {46}), true},
        {"not a member", 0660, 46, "", user(1000, 1000, {20}), false},
        {"read only", 0664, 0, "", user(1000, 1000), false},
        {"uaccess entry", 0600, 0, uaccess, user(1000, 1000), true},
        {"another user", 0600, 0, uaccess, user(1001, 1001), false},
        {"entry cut by the mask", 0600, 0, masked, user(1000, 1000), false},
        {"group entry", 0600, 0, acl({{0x01, 6, 0}, {0x04, 0, 0}, {0x08, 6, 46}, {0x20, 0, 0}}),
         user(1000, 1000, {46}), true},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(NodeAccess::mayReadWrite(0, row.group, row.mode, row.acl, row.who), row.allowed)
            << row.what;
    }
    EXPECT_EQ(NodeAccess::of("/no/such/node", user(1000, 1000)).verdict(),
              NodeAccess::Verdict::NO_NODE);
}
