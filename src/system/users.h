// The users of this machine as the program meets them: the name of a user
// by number, and the user who started the program through sudo.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

// The number of root.
constexpr uid_t ROOT_USER = 0;

// The name of the user numbered `uid`; empty when no user has that number.
std::string user_name(uid_t uid);

// A user and the group that goes with them.
struct User {
    uid_t uid;
    gid_t gid;
};

// The user and group who started the program through sudo, as sudo names
// them in the environment (SUDO_UID, SUDO_GID); nothing when they are not
// both there as numbers, or do not name a user of this machine other than
// root.
std::optional<User> sudo_caller();
