// Timed socket I/O of the upload connection. A budget in milliseconds is
// spent in 200 ms poll slices (200 taken before each wait, however long it
// really lasted) and restored whenever bytes move, so a slow but steady peer
// is never cut off. At least one slice is always polled.
#ifndef TIMED_SOCKET_H
#define TIMED_SOCKET_H

// Receives up to `wanted` bytes from the non-blocking socket `fd` into buf.
// The bytes received (0 to wanted) once all have come or the budget is
// spent; -1 on a receive error or after the peer's end of stream has been
// seen more than 30 times in a row.
int ff_url_tcpread(int fd, void* buf, int wanted, int budgetMs) noexcept;

// What the socket has already queued, up to `size` bytes, without waiting:
// the bytes taken, 0 when nothing is queued or the peer has ended the
// stream (a timed read then counts that), -1 on a receive error.
int ReceiveQueued(int fd, void* buf, int size) noexcept;

// Sends `size` bytes from buf on the non-blocking socket `fd`. Never raises
// SIGPIPE. The bytes sent: fewer than size when the peer failed or stalled.
int ff_url_tcpwrite(int fd, const void* buf, int size, int budgetMs) noexcept;

#endif  // TIMED_SOCKET_H
