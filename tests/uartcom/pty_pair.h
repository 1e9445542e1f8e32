// A pseudo-terminal standing in for a serial port: the test plays the far
// end on the master, the library opens the slave path.
#ifndef QD_TEST_PTY_PAIR_H
#define QD_TEST_PTY_PAIR_H

#include <string>
#include <vector>

namespace qdtest {

class PtyPair {
  public:
    PtyPair();  // throws std::runtime_error
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    const std::string& slavePath() const { return slavePath_; }
    int master() const { return master_; }
    // The test's own descriptor on the slave, to read back line settings.
    int slave() const { return slave_; }

    // The far end hangs up: the slave side then reads as end of file.
    void CloseMaster();
    void Send(const std::vector<unsigned char>& bytes) const;
    // Everything the far end received within the time (ms).
    std::vector<unsigned char> Receive(std::size_t want, int timeoutMs) const;

  private:
    int master_ = -1;
    int slave_ = -1;
    std::string slavePath_;
};

// Descriptor 0 may be closed under CI; a device opened then would get it,
// and the library refuses descriptor 0. Keeps 0 taken by /dev/null.
void KeepStdinOccupied();

}  // namespace qdtest

#endif  // QD_TEST_PTY_PAIR_H
