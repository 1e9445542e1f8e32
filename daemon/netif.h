// The wired interface's IPv4 address, as the daemon announces it.
#ifndef NETIF_H
#define NETIF_H

#include <cstddef>

// Sets szIpAddr (ipSize bytes) and szNetmask (at least 16 bytes, or null)
// to "0.0.0.0", then to eth0's address and netmask as far as the queries
// succeed. 0 when eth0 has both, -1 otherwise. Prints nothing.
int QueryEthIPAddr(char* szIpAddr, std::size_t ipSize, char* szNetmask) noexcept;

// QueryEthIPAddr into the configuration record's address text,
// stQdbootCfg.szIpAddr.
int GetEthIPAddr(char* szNetmask) noexcept;

#endif  // NETIF_H
