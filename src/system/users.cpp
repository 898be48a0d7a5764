// Users by number, as the user database knows them, and sudo's caller, as
// sudo puts them into the environment.
#include "system/users.h"

#include <pwd.h>

#include <charconv>
#include <cstdlib>
#include <cstring>

namespace {

// The number held by the environment variable `name`; nothing when it is
// unset or holds anything but one.
template <typename Number>
std::optional<Number> number_in_environment(const char* name) {
    const char* text = std::getenv(name);
    if (text == nullptr) {
        return std::nullopt;
    }
    const char* end = text + std::strlen(text);
    Number number;
    const auto [stop, error] = std::from_chars(text, end, number);
    if (error != std::errc() || stop != end) {
        return std::nullopt;
    }
    return number;
}

}  // namespace

std::string user_name(uid_t uid) {
    const struct passwd* entry = ::getpwuid(uid);
    return entry != nullptr ? entry->pw_name : "";
}

std::optional<User> sudo_caller() {
    const std::optional<uid_t> uid = number_in_environment<uid_t>("SUDO_UID");
    const std::optional<gid_t> gid = number_in_environment<gid_t>("SUDO_GID");
    if (!uid || !gid || *uid == ROOT_USER || ::getpwuid(*uid) == nullptr) {
        return std::nullopt;
    }
    return User{*uid, *gid};
}
