#pragma once

// The address behind a host name that only the SSH configuration knows: a
// server started over ssh on "pipehost" is reached where ssh reached it.

#include <cstdint>
#include <string>
#include <string_view>

namespace zefa::server_start {

// The value of the "hostname" line of `ssh -G` output; empty when there is
// none.
std::string HostNameFromSshConfig(std::string_view output);

// The host name or address that ssh connects to for `alias` (`ssh -G alias`,
// ssh found on the PATH), waiting at most `timeoutMs` for it. Empty when ssh
// cannot tell, when the alias is no plain host name (IsSafeName), or when
// ssh would use the alias itself.
std::string SshHostName(const std::string& alias, std::uint32_t timeoutMs = 2000);

}  // namespace zefa::server_start
