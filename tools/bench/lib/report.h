// What the benchmarks share: percentiles, the driver's cost figures read from the host, a JSON
// writer for every figure, and a PNG of latency distributions.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "platform/host/measure/cost.h"
#include "sim/card.h"

namespace bench {

// p in [0, 1]; nearest rank. 0 for no samples.
double percentile(std::vector<double> samples, double p);
double mean(const std::vector<double>& samples);

// The driver's CPU time for one pin's frames: its Process dispatch, the DPC the host saw serving
// it and a share of its device's interrupt routine, in nanoseconds (host::cost::pin_cost).
struct DriverCost {
    uint64_t process_ns = 0;
    uint64_t dpc_ns = 0;
    uint64_t interrupt_ns = 0;  // this pin's share
    uint64_t frames = 0;        // completed with success
    uint64_t bytes = 0;
    uint64_t max_process_ns = 0;
    uint64_t max_dpc_ns = 0;
    uint64_t process_calls = 0, dpc_calls = 0;
    uint64_t total_ns() const { return process_ns + dpc_ns + interrupt_ns; }
    double per_frame_us() const { return frames ? double(total_ns()) / double(frames) / 1e3 : 0.0; }
};
// `interrupt_share` is the fraction of the interrupt routine's time charged to this pin.
DriverCost driver_cost(const void* pin, double interrupt_share);

// CPU time the simulated card's register handling took inside the driver's measured routines
// (left out of the driver's figures: it stands for bus time).
uint64_t register_model_ns();

// The card's register log reduced to the reads the interrupt routine made: those by a thread that
// read the interrupt status register (only the routine does). The driver's other routines read
// the same DMA registers (to check a copy against the engine's position), and those are not
// interrupts.
std::vector<sim::AccessRecord> interrupt_reads(const std::vector<sim::AccessRecord>& log);
std::set<uint32_t> interrupt_threads(const std::vector<sim::AccessRecord>& log);

// Waits (up to 5 s) until the receivers of inputs 0 .. inputs - 1 have locked on their signals.
void wait_for_lock(sim::Card& card, uint32_t inputs);

// A minimal JSON writer: values are appended in order; the caller opens and closes containers.
class Json {
public:
    Json& open_object(const char* key = nullptr);
    Json& close_object();
    Json& open_array(const char* key = nullptr);
    Json& close_array();
    Json& number(const char* key, double value);
    Json& integer(const char* key, uint64_t value);
    Json& text(const char* key, const std::string& value);
    Json& numbers(const char* key, const std::vector<double>& values);
    const std::string& str() const { return out_; }
    bool write(const std::string& path, std::string& error) const;

private:
    void separate(const char* key);
    std::string out_;
    std::vector<bool> first_{true};
};

// One curve of a latency plot: the samples of one input, in milliseconds.
struct Series {
    std::string name;
    std::vector<double> ms;
};
struct Panel {
    std::string title;                     // what was run: mode, inputs
    std::string x_label = "latency (ms)";  // what the samples measure
    std::string y_label = "share of samples, cumulative (%)";
    std::vector<Series> series;
};
// Draws each panel's distributions as cumulative curves (x: latency in ms, grid every ms or
// coarser; y: share of samples, grid every 10 %), panels stacked, each with its title, a legend
// naming each curve and both axes labelled; one colour per curve, in order: blue, orange, green,
// red. A dashed vertical line marks `goal_ms` when it is positive (named in the legend).
bool plot_latency(const std::string& path, const std::vector<Panel>& panels, double goal_ms, std::string& error);

}  // namespace bench
