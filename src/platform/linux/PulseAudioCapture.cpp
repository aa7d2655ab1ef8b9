#include "platform/linux/PulseAudioCapture.h"

#include <pulse/pulseaudio.h>

#include <atomic>
#include <chrono>

namespace dravelin::nix {

namespace {

constexpr int kSampleRate = 16000;
constexpr auto kConnectTimeout = std::chrono::seconds(3);
// About 20 ms of audio per block, the usual capture period.
constexpr uint32_t kFragmentBytes = kSampleRate / 50 * sizeof(float);

// Holds the threaded main loop's lock for a scope.
class LoopLock
{
public:
    explicit LoopLock(pa_threaded_mainloop *loop) : m_loop(loop) { pa_threaded_mainloop_lock(m_loop); }
    ~LoopLock() { pa_threaded_mainloop_unlock(m_loop); }
    LoopLock(const LoopLock &) = delete;
    LoopLock &operator=(const LoopLock &) = delete;

private:
    pa_threaded_mainloop *m_loop;
};

AudioInputInfo infoFrom(const pa_source_info *source)
{
    AudioInputInfo info;
    info.uniqueID = QString::fromUtf8(source->name);
    info.name = QString::fromUtf8(source->description ? source->description : source->name);
    const char *bus = pa_proplist_gets(source->proplist, PA_PROP_DEVICE_BUS);
    info.isBluetooth = bus && qstrcmp(bus, "bluetooth") == 0;
    info.isMonitor = source->monitor_of_sink != PA_INVALID_INDEX;
    info.hardwareSampleRate = static_cast<int>(source->sample_spec.rate);
    const char *formFactor = pa_proplist_gets(source->proplist, PA_PROP_DEVICE_FORM_FACTOR);
    info.isBuiltIn = (formFactor && qstrcmp(formFactor, "internal") == 0) ||
                     (bus && (qstrcmp(bus, "pci") == 0 || qstrcmp(bus, "platform") == 0));
    return info;
}

} // namespace

struct PulseAudioBackend::Connection
{
    pa_threaded_mainloop *loop = nullptr;
    pa_context *context = nullptr;
    int lastError = 0;
    // Called on the loop's thread when a source comes or goes, or the
    // context is lost.
    std::function<void()> onDevicesChanged;
    bool wasReady = false; // the current context reached the ready state

    Connection()
    {
        loop = pa_threaded_mainloop_new();
        pa_threaded_mainloop_start(loop);
    }

    ~Connection()
    {
        {
            LoopLock lock(loop);
            dropContext();
        }
        pa_threaded_mainloop_stop(loop);
        pa_threaded_mainloop_free(loop);
    }

    void dropContext()
    {
        if (!context)
            return;
        pa_context_set_state_callback(context, nullptr, nullptr);
        pa_context_set_subscribe_callback(context, nullptr, nullptr);
        wasReady = false;
        pa_context_disconnect(context);
        pa_context_unref(context);
        context = nullptr;
    }

    // With the lock held: a ready context, connecting (again) if needed.
    bool ensureReady()
    {
        if (context && pa_context_get_state(context) == PA_CONTEXT_READY)
            return true;
        dropContext();
        context = pa_context_new(pa_threaded_mainloop_get_api(loop), "Dravelin");
        pa_context_set_state_callback(
            context,
            [](pa_context *c, void *userdata) {
                auto *self = static_cast<Connection *>(userdata);
                const pa_context_state_t state = pa_context_get_state(c);
                // Only a lost connection counts, not a failed attempt (which
                // would make a watcher retry in a loop while no server runs).
                if ((state == PA_CONTEXT_FAILED || state == PA_CONTEXT_TERMINATED) && self->wasReady) {
                    self->wasReady = false;
                    if (self->onDevicesChanged)
                        self->onDevicesChanged();
                }
                pa_threaded_mainloop_signal(self->loop, 0);
            },
            this);
        if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
            lastError = pa_context_errno(context);
            dropContext();
            return false;
        }
        // Bound the wait: a timer wakes us if the server never answers.
        bool timedOut = false;
        struct TimeoutData
        {
            pa_threaded_mainloop *loop;
            bool *timedOut;
        } data{loop, &timedOut};
        pa_mainloop_api *api = pa_threaded_mainloop_get_api(loop);
        timeval deadline{};
        pa_gettimeofday(&deadline);
        pa_timeval_add(&deadline, std::chrono::duration_cast<std::chrono::microseconds>(kConnectTimeout).count());
        pa_time_event *timer = api->time_new(
            api, &deadline,
            [](pa_mainloop_api *, pa_time_event *, const timeval *, void *userdata) {
                auto *d = static_cast<TimeoutData *>(userdata);
                *d->timedOut = true;
                pa_threaded_mainloop_signal(d->loop, 0);
            },
            &data);
        for (;;) {
            const pa_context_state_t state = pa_context_get_state(context);
            if (state == PA_CONTEXT_READY)
                break;
            if (!PA_CONTEXT_IS_GOOD(state) || timedOut) {
                lastError = timedOut ? PA_ERR_TIMEOUT : pa_context_errno(context);
                api->time_free(timer);
                dropContext();
                return false;
            }
            pa_threaded_mainloop_wait(loop);
        }
        api->time_free(timer);
        wasReady = true;
        if (onDevicesChanged)
            subscribe();
        return true;
    }

    // With the lock held and the context ready: source events go to
    // onDevicesChanged.
    void subscribe()
    {
        pa_context_set_subscribe_callback(
            context,
            [](pa_context *, pa_subscription_event_type_t type, uint32_t, void *userdata) {
                auto *self = static_cast<Connection *>(userdata);
                const auto operation = type & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
                if ((type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) == PA_SUBSCRIPTION_EVENT_SOURCE &&
                    operation != PA_SUBSCRIPTION_EVENT_CHANGE && self->onDevicesChanged)
                    self->onDevicesChanged();
            },
            this);
        if (pa_operation *operation = pa_context_subscribe(context, PA_SUBSCRIPTION_MASK_SOURCE, nullptr, nullptr))
            pa_operation_unref(operation);
    }

    // With the lock held: waits for an operation to finish.
    void wait(pa_operation *operation)
    {
        if (!operation)
            return;
        while (pa_operation_get_state(operation) == PA_OPERATION_RUNNING)
            pa_threaded_mainloop_wait(loop);
        pa_operation_unref(operation);
    }
};

namespace {

class PulseStream final : public AudioCaptureStream
{
public:
    PulseStream(std::shared_ptr<PulseAudioBackend::Connection> connection, pa_stream *stream, AudioInputInfo device)
        : m_connection(std::move(connection))
        , m_stream(stream)
        , m_device(std::move(device))
    {
        pa_stream_set_read_callback(m_stream, &PulseStream::onReadable, this);
        pa_stream_set_state_callback(m_stream, &PulseStream::onState, this);
    }

    ~PulseStream() override
    {
        LoopLock lock(m_connection->loop);
        pa_stream_set_read_callback(m_stream, nullptr, nullptr);
        pa_stream_set_state_callback(m_stream, nullptr, nullptr);
        pa_stream_disconnect(m_stream);
        pa_stream_unref(m_stream);
    }

    AudioInputInfo device() const override { return m_device; }

    void setBlockHandler(std::function<void(AudioBlock)> handler) override
    {
        LoopLock lock(m_connection->loop);
        m_handler = std::move(handler);
    }

    void setErrorHandler(std::function<void(QString)> handler) override
    {
        LoopLock lock(m_connection->loop);
        m_errorHandler = std::move(handler);
    }

    void startRunning() override
    {
        LoopLock lock(m_connection->loop);
        m_running = true;
        if (pa_operation *op = pa_stream_cork(m_stream, 0, nullptr, nullptr))
            pa_operation_unref(op);
    }

    void stopRunning() override
    {
        LoopLock lock(m_connection->loop);
        m_running = false;
        if (pa_operation *op = pa_stream_cork(m_stream, 1, nullptr, nullptr))
            pa_operation_unref(op);
        if (pa_operation *op = pa_stream_flush(m_stream, nullptr, nullptr))
            pa_operation_unref(op);
    }

    bool isRunning() const override { return m_running; }

private:
    // On the main loop's thread, with its lock held.
    static void onState(pa_stream *stream, void *userdata)
    {
        auto *self = static_cast<PulseStream *>(userdata);
        pa_threaded_mainloop_signal(self->m_connection->loop, 0);
        const pa_stream_state_t state = pa_stream_get_state(stream);
        if ((state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED) && self->m_errorHandler)
            self->m_errorHandler(QString::fromUtf8(pa_strerror(pa_context_errno(pa_stream_get_context(stream)))));
    }

    static void onReadable(pa_stream *stream, size_t, void *userdata)
    {
        auto *self = static_cast<PulseStream *>(userdata);
        const pa_sample_spec *sampleSpec = pa_stream_get_sample_spec(stream);
        while (pa_stream_readable_size(stream) > 0) {
            const void *data = nullptr;
            size_t length = 0;
            if (pa_stream_peek(stream, &data, &length) < 0 || length == 0)
                break;
            if (data && self->m_running && self->m_handler) {
                AudioBlock block;
                block.bytes = QByteArray(static_cast<const char *>(data), static_cast<qsizetype>(length));
                block.sampleRate = static_cast<int>(sampleSpec->rate);
                block.channels = sampleSpec->channels;
                block.isFloat = sampleSpec->format == PA_SAMPLE_FLOAT32LE || sampleSpec->format == PA_SAMPLE_FLOAT32BE;
                self->m_handler(std::move(block));
            }
            pa_stream_drop(stream); // a hole (no data) is dropped too
        }
    }

    std::shared_ptr<PulseAudioBackend::Connection> m_connection;
    pa_stream *m_stream;
    AudioInputInfo m_device;
    std::function<void(AudioBlock)> m_handler;
    std::function<void(QString)> m_errorHandler;
    std::atomic<bool> m_running{false};
};

} // namespace

PulseAudioBackend::PulseAudioBackend() : m_connection(std::make_shared<Connection>()) {}

PulseAudioBackend::~PulseAudioBackend() = default;

MicAuthorization PulseAudioBackend::authorization()
{
    LoopLock lock(m_connection->loop);
    if (m_connection->ensureReady())
        return MicAuthorization::authorized;
    return m_connection->lastError == PA_ERR_ACCESS ? MicAuthorization::denied : MicAuthorization::unavailable;
}

void PulseAudioBackend::watchDevices(std::function<void()> onChange)
{
    LoopLock lock(m_connection->loop);
    const bool wasWatching = bool(m_connection->onDevicesChanged);
    m_connection->onDevicesChanged = std::move(onChange);
    if (!m_connection->onDevicesChanged) {
        if (m_connection->context)
            pa_context_set_subscribe_callback(m_connection->context, nullptr, nullptr);
        return;
    }
    const bool ready = m_connection->context && pa_context_get_state(m_connection->context) == PA_CONTEXT_READY;
    if (!ready)
        m_connection->ensureReady(); // subscribes once connected
    else if (!wasWatching)
        m_connection->subscribe();
}

QList<AudioInputInfo> PulseAudioBackend::inputDevices()
{
    LoopLock lock(m_connection->loop);
    if (!m_connection->ensureReady())
        return {};
    struct Collect
    {
        pa_threaded_mainloop *loop;
        QList<AudioInputInfo> devices;
    } collect{m_connection->loop, {}};
    m_connection->wait(pa_context_get_source_info_list(
        m_connection->context,
        [](pa_context *, const pa_source_info *info, int eol, void *userdata) {
            auto *c = static_cast<Collect *>(userdata);
            if (eol == 0 && info)
                c->devices << infoFrom(info);
            pa_threaded_mainloop_signal(c->loop, 0);
        },
        &collect));
    // Microphones first; the monitors of outputs after them.
    std::stable_sort(collect.devices.begin(), collect.devices.end(),
                     [](const AudioInputInfo &a, const AudioInputInfo &b) { return !a.isMonitor && b.isMonitor; });
    return collect.devices;
}

std::optional<AudioInputInfo> PulseAudioBackend::defaultDevice()
{
    LoopLock lock(m_connection->loop);
    if (!m_connection->ensureReady())
        return std::nullopt;
    struct Lookup
    {
        pa_threaded_mainloop *loop;
        QByteArray name;
        std::optional<AudioInputInfo> device;
    } lookup{m_connection->loop, {}, std::nullopt};
    m_connection->wait(pa_context_get_server_info(
        m_connection->context,
        [](pa_context *, const pa_server_info *info, void *userdata) {
            auto *l = static_cast<Lookup *>(userdata);
            if (info && info->default_source_name)
                l->name = info->default_source_name;
            pa_threaded_mainloop_signal(l->loop, 0);
        },
        &lookup));
    if (lookup.name.isEmpty())
        return std::nullopt;
    m_connection->wait(pa_context_get_source_info_by_name(
        m_connection->context, lookup.name.constData(),
        [](pa_context *, const pa_source_info *info, int eol, void *userdata) {
            auto *l = static_cast<Lookup *>(userdata);
            if (eol == 0 && info)
                l->device = infoFrom(info);
            pa_threaded_mainloop_signal(l->loop, 0);
        },
        &lookup));
    return lookup.device;
}

std::unique_ptr<AudioCaptureStream> PulseAudioBackend::open(const AudioInputInfo &device, QString &error)
{
    LoopLock lock(m_connection->loop);
    if (!m_connection->ensureReady()) {
        error = QString::fromUtf8(pa_strerror(m_connection->lastError));
        return nullptr;
    }
    const pa_sample_spec sampleSpec{PA_SAMPLE_FLOAT32LE, kSampleRate, 1};
    pa_stream *stream = pa_stream_new(m_connection->context, "Dravelin dictation", &sampleSpec, nullptr);
    if (!stream) {
        error = QString::fromUtf8(pa_strerror(pa_context_errno(m_connection->context)));
        return nullptr;
    }
    pa_stream_set_state_callback(
        stream,
        [](pa_stream *, void *userdata) {
            pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop *>(userdata), 0);
        },
        m_connection->loop);
    pa_buffer_attr attr;
    attr.maxlength = static_cast<uint32_t>(-1);
    attr.tlength = static_cast<uint32_t>(-1);
    attr.prebuf = static_cast<uint32_t>(-1);
    attr.minreq = static_cast<uint32_t>(-1);
    attr.fragsize = kFragmentBytes;
    const QByteArray name = device.uniqueID.toUtf8();
    const auto flags =
        static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_START_CORKED | PA_STREAM_DONT_MOVE);
    if (pa_stream_connect_record(stream, name.constData(), &attr, flags) < 0) {
        error = QString::fromUtf8(pa_strerror(pa_context_errno(m_connection->context)));
        pa_stream_unref(stream);
        return nullptr;
    }
    for (;;) {
        const pa_stream_state_t state = pa_stream_get_state(stream);
        if (state == PA_STREAM_READY)
            break;
        if (!PA_STREAM_IS_GOOD(state)) {
            error = QString::fromUtf8(pa_strerror(pa_context_errno(m_connection->context)));
            pa_stream_set_state_callback(stream, nullptr, nullptr);
            pa_stream_unref(stream);
            return nullptr;
        }
        pa_threaded_mainloop_wait(m_connection->loop);
    }
    return std::make_unique<PulseStream>(m_connection, stream, device);
}

} // namespace dravelin::nix
