// Audio benchmarks: capture start-up latency through a real PulseAudio daemon
// (run under tests/integration/with-pulseaudio.sh), AAC encoding speed, and the
// memory a 60 s recording takes. Prints one line per figure.

#include "audio/AACFileWriter.h"
#include "audio/MicCaptureSession.h"
#include "core/LogHandler.h"
#include "core/QtScheduler.h"
#include "core/UserDefaults.h"
#include "platform/linux/PulseAudioCapture.h"
#include "support/MicFeeder.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>

#include <qcoro/qcorotask.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <random>

using namespace dravelin;
using Clock = std::chrono::steady_clock;

namespace {

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

long peakRssKb()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toLong();
    }
    return -1;
}

struct StartTimes
{
    double liveMs = 0;       // start() resolved: the device is configured
    double firstBlockMs = 0; // the first block reached the consumer
};

StartTimes startTimes(MicCaptureSession &session)
{
    std::atomic<bool> got{false};
    std::atomic<Clock::rep> at{0};
    const auto begin = Clock::now();
    // Blocks arrive one at a time on the capture queue.
    MicBufferSink::Callback onBuffer = [&](PcmBuffer) {
        if (!got.load()) {
            at = Clock::now().time_since_epoch().count();
            got = true;
        }
    };
    const auto started = QCoro::waitFor(session.start(onBuffer));
    if (!started)
        return {-1, -1};
    StartTimes times;
    times.liveMs = std::chrono::duration<double, std::milli>(Clock::now() - begin).count();
    while (!got)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    times.firstBlockMs =
        std::chrono::duration<double, std::milli>(Clock::duration(at.load()) - begin.time_since_epoch()).count();
    QCoro::waitFor(session.stopAfterTail(Millis(0)));
    return times;
}

// One minute of speech-like audio: a few harmonics under noise, with pauses.
std::vector<float> speechLike(double seconds)
{
    std::mt19937 rng(7);
    std::normal_distribution<float> noise(0.0f, 0.02f);
    std::vector<float> out(static_cast<size_t>(seconds * 16000));
    for (size_t i = 0; i < out.size(); ++i) {
        const double t = static_cast<double>(i) / 16000.0;
        const double envelope = std::fmod(t, 2.0) < 1.4 ? 0.3 : 0.0;
        out[i] = static_cast<float>(envelope * (std::sin(2 * M_PI * 140 * t) + 0.5 * std::sin(2 * M_PI * 280 * t) +
                                                0.25 * std::sin(2 * M_PI * 2100 * t))) +
                 noise(rng);
    }
    return out;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    logs::Router::install(); // no sinks: keep the figures readable
    QTemporaryDir dir;
    QtScheduler scheduler;
    UserDefaults defaults(dir.filePath(QStringLiteral("s.json")));

    // AAC encoding speed and memory: 60 s through the writer in 20 ms blocks.
    {
        const long rssBefore = peakRssKb();
        const auto samples = speechLike(60.0);
        const QString path = dir.filePath(QStringLiteral("bench.m4a"));
        const auto begin = Clock::now();
        auto writer = AACFileWriter::create(path).value();
        for (size_t offset = 0; offset < samples.size(); offset += 320) {
            PcmBuffer block;
            block.samples.assign(samples.begin() + static_cast<std::ptrdiff_t>(offset),
                                 samples.begin() + static_cast<std::ptrdiff_t>(std::min(offset + 320, samples.size())));
            writer->append(block);
        }
        writer->finish();
        const double seconds = std::chrono::duration<double>(Clock::now() - begin).count();
        std::printf("aac_encode_60s: %.1f ms, %.0fx real time, file %lld bytes, peak RSS +%ld KiB (total %ld KiB)\n",
                    seconds * 1000, 60.0 / seconds, static_cast<long long>(QFileInfo(path).size()),
                    peakRssKb() - rssBefore, peakRssKb());
    }

    test::MicFeeder feeder;
    if (!feeder.isOpen()) {
        std::printf("capture latency: skipped (run under tests/integration/with-pulseaudio.sh)\n");
        return 0;
    }
    nix::PulseAudioBackend backend;
    constexpr int kRuns = 10;
    for (const bool prewarm : {false, true}) {
        std::vector<double> live;
        std::vector<double> first;
        for (int i = 0; i < kRuns; ++i) {
            MicCaptureSession session(QStringLiteral("bench"), backend, scheduler, defaults);
            if (prewarm)
                QCoro::waitFor(session.prewarm());
            const StartTimes t = startTimes(session);
            live.push_back(t.liveMs);
            first.push_back(t.firstBlockMs);
        }
        std::printf("start_%s: configured after median %.2f ms, first block after median %.1f ms "
                    "(min %.1f, max %.1f, %d runs)\n",
                    prewarm ? "prewarmed" : "cold", median(live), median(first),
                    *std::min_element(first.begin(), first.end()), *std::max_element(first.begin(), first.end()),
                    kRuns);
    }
    return 0;
}
