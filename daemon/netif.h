// The wired interface's IPv4 address, as the daemon announces it.
#ifndef NETIF_H
#define NETIF_H

// Sets stQdbootCfg.szIpAddr and szNetmask (at least 16 bytes) to "0.0.0.0",
// then to eth0's address and netmask as far as the queries succeed.
// 0 when eth0 has both, -1 otherwise. Prints nothing.
int GetEthIPAddr(char* szNetmask) noexcept;

#endif  // NETIF_H
