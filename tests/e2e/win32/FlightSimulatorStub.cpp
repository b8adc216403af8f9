// A process named FlightSimulator.exe for the end-to-end tests: the bridge connects only while
// a simulator process runs. It just waits the milliseconds given (default 30 s) and ends.
#include <chrono>
#include <cstdlib>
#include <thread>

int main(int argc, char** argv) {
    const long ms = argc > 1 ? std::atol(argv[1]) : 30000;
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    return 0;
}
