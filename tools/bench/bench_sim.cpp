// Runs the simulated card with all four inputs at 1920x1080p60 and all four audio engines,
// paced in real time, into common buffers of the host kernel, and prints the units produced per
// input and the CPU time the card used. Usage: bench_sim [seconds] [realtime|fast]
#include "sim/card.h"

#include "platform/host/kernel/kernel.h"
#include "tools/bench/lib/card_map.h"

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace {

double cpu_seconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_utime.tv_usec / 1e6 + u.ru_stime.tv_sec + u.ru_stime.tv_usec / 1e6;
}

void i2c_write(sim::Card& card, uint32_t input, uint8_t sub, uint8_t value) {
    const uint32_t block = 0x4000 + 0x1000 * input;
    card.write32(block, 0xC2u | 0x98u << 8 | uint32_t{sub} << 16 | uint32_t{value} << 24);
    while (!(card.read32(block) & 1)) {
    }
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 10.0;
    const bool fast = argc > 2 && std::strcmp(argv[2], "fast") == 0;

    auto config = sim::Card::default_config();
    for (auto& s : config.sources)
        s = *sim::parse_source("1920x1080p60");
    config.pacing = fast ? sim::Pacing::AsFastAsPossible : sim::Pacing::Realtime;
    config.autostart = false;
    sim::Card card(config);

    // Place the HDMI and CP maps of every receiver, then wait for the signals to settle.
    for (uint32_t n = 0; n < sim::kInputs; ++n) {
        i2c_write(card, n, 0xFB, 0x68);
        i2c_write(card, n, 0xFD, 0x44);
    }
    for (uint32_t n = 0; n < sim::kInputs; ++n)
        while (!card.receiver_state(n).locked)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    card.write32(0xC000, card.read32(0xC000));

    DEVICE_DESCRIPTION d{};
    d.Version = DEVICE_DESCRIPTION_VERSION;
    d.Master = TRUE;
    d.Dma32BitAddresses = TRUE;
    d.InterfaceType = PCIBus;
    d.MaximumLength = 0x400000;
    ULONG registers = 0;
    PDMA_ADAPTER adapter = IoGetDmaAdapter(nullptr, &d, &registers);
    if (!adapter) {
        std::fprintf(stderr, "no DMA adapter\n");
        return 1;
    }
    struct Buffer {
        PVOID virt;
        PHYSICAL_ADDRESS logical;
        ULONG length;
    };
    std::vector<Buffer> buffers;
    auto allocate = [&](ULONG length) {
        Buffer b{nullptr, {}, length};
        b.virt = adapter->DmaOperations->AllocateCommonBuffer(adapter, length, &b.logical, FALSE);
        if (!b.virt) {
            std::fprintf(stderr, "common buffer allocation failed\n");
            std::exit(1);
        }
        buffers.push_back(b);
        return b.logical.LowPart;
    };
    using bench::card::kAudioBlock;
    using bench::card::kVideoBlock;
    const uint32_t audio = allocate(4 * 30720);
    for (uint32_t n = 0; n < sim::kInputs; ++n) {
        const uint32_t v = kVideoBlock[n];
        card.write32(0xC01C + 8 * n, 1);
        card.write32(v + 0x10, 1920 * 1080 * 2);
        card.write32(v + 0x0C, allocate(0x400000));
        card.write32(v + 0x3C, allocate(0x400000));
        card.write32(v + 0x40, allocate(0x400000));
        card.write32(v, 1);
        const uint32_t a = kAudioBlock[n];
        card.write32(a + 0x0C, audio + n * 30720);
        card.write32(a + 0x04, 30720);
        card.write32(a + 0x10, 1920);
        card.write32(0xC018 + 8 * n, 1);
        card.write32(a, 1);
    }

    // In the fast mode something has to acknowledge: a consumer thread stands in for the ISR.
    std::atomic<bool> consuming{fast};
    std::thread consumer;
    if (fast)
        consumer = std::thread([&] {
            while (consuming.load()) {
                uint32_t s = card.read32(0xC000);
                if (s)
                    card.write32(0xC000, s);
                else
                    std::this_thread::yield();
            }
        });

    const double cpu0 = cpu_seconds();
    const auto t0 = std::chrono::steady_clock::now();
    card.start();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    card.stop();
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const double cpu = cpu_seconds() - cpu0;
    consuming = false;
    if (consumer.joinable()) consumer.join();

    std::printf("pacing %s, %.2f s wall\n", fast ? "as fast as possible" : "real time", wall);
    uint64_t units = 0;
    for (uint32_t n = 0; n < sim::kInputs; ++n) {
        std::printf("input %u: %llu video units (%.2f/s), %llu audio blocks (%.2f/s), %llu refused\n", n,
                    static_cast<unsigned long long>(card.video_units_produced(n)), card.video_units_produced(n) / wall,
                    static_cast<unsigned long long>(card.audio_blocks_produced(n)),
                    card.audio_blocks_produced(n) / wall, static_cast<unsigned long long>(card.dma_failures(n)));
        units += card.video_units_produced(n);
    }
    std::printf("video bytes: %.1f MB/s\n", units * 1920.0 * 1080 * 2 / wall / 1e6);
    std::printf("cpu: %.3f s = %.1f %% of one core%s\n", cpu, 100.0 * cpu / wall,
                fast ? " (including the consumer)" : "");

    for (uint32_t n = 0; n < sim::kInputs; ++n) {
        card.write32(0xC01C + 8 * n, 0);
        card.write32(kVideoBlock[n], 0);
        card.write32(0xC018 + 8 * n, 0);
        card.write32(kAudioBlock[n], 0);
    }
    for (auto& b : buffers)
        adapter->DmaOperations->FreeCommonBuffer(adapter, b.length, b.logical, b.virt, FALSE);
    adapter->DmaOperations->PutDmaAdapter(adapter);
    return 0;
}
