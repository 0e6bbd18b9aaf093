// bare-poll: the yardstick of the end-to-end run. A plain libmodbus loop that reads the sensor's five
// registers from address 0 over a serial line as fast as the slave answers, for a given time.
#include <modbus.h>

#include <chrono>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: bare-poll LINE SECONDS\n");
    return 2;
  }
  char* end = nullptr;
  const double seconds = std::strtod(argv[2], &end);
  if (end == argv[2] || *end != '\0' || !(seconds > 0 && seconds <= 3600)) {
    std::fprintf(stderr, "bare-poll: SECONDS must be a number from 0 to 3600, not \"%s\"\n", argv[2]);
    return 2;
  }
  modbus_t* ctx = modbus_new_rtu(argv[1], 115200, 'N', 8, 1);
  if (ctx == nullptr || modbus_set_slave(ctx, 1) != 0 || modbus_connect(ctx) != 0) {
    std::fprintf(stderr, "bare-poll: cannot open %s: %s\n", argv[1], modbus_strerror(errno));
    if (ctx != nullptr) modbus_free(ctx);
    return 1;
  }
  using Clock = std::chrono::steady_clock;
  const Clock::time_point start = Clock::now();
  const Clock::time_point stop = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  long polls = 0, failures = 0;
  std::uint16_t words[5];
  Clock::time_point now = start;
  while (now < stop) {
    if (modbus_read_registers(ctx, 0, 5, words) == 5) {
      ++polls;
    } else {
      ++failures;
    }
    now = Clock::now();
  }
  const double elapsed = std::chrono::duration<double>(now - start).count();
  modbus_close(ctx);
  modbus_free(ctx);
  std::printf("bare-poll: %ld polls, %ld failed, in %.3f s: %.1f polls/s\n", polls, failures, elapsed, polls / elapsed);
  return failures == 0 ? 0 : 1;
}
