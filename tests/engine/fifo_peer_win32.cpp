// Second process of the shared-FIFO test: opens the creator's FIFO by key and id, checks
// what the creator put, answers, and optionally corrupts the header.
//   engine_fifo_peer <key hex> <id> <mode>
//   mode "echo": reads 1000 bytes (0,1,2,...), puts them back reversed.
//   mode "corrupt": sets writePos far outside the ring.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "engine/CFifo.h"

int main(int argc, char** argv) {
  if (argc < 4) return 2;
  const uint32_t key = static_cast<uint32_t>(std::strtoul(argv[1], nullptr, 16));
  const int32_t id = std::atoi(argv[2]);
  CFifo fifo;
  if (!fifo.Create(static_cast<int32_t>(key), 0, kFifoSharedOpener, id)) return 3;
  if (fifo.Size() != 4096 || fifo.Header()->tag != 1234) return 4;
  if (std::strcmp(argv[3], "corrupt") == 0) {
    const_cast<FifoHeader*>(fifo.Header())->writePos = 1 << 30;
    return 0;
  }
  std::vector<uint8_t> data(1000);
  if (fifo.Used() != 1000) return 5;  // the opener must not have reset the header
  if (fifo.Get(data.data(), 1000, false) != 1000) return 6;
  for (int i = 0; i < 1000; ++i)
    if (data[i] != static_cast<uint8_t>(i)) return 7;
  std::vector<uint8_t> reversed(data.rbegin(), data.rend());
  if (fifo.Put(reversed.data(), 1000, false) != 1000) return 8;
  return 0;
}
