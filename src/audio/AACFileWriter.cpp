#include "audio/AACFileWriter.h"

#include "core/Log.h"

#include <QFile>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

#include <cstring>

namespace dravelin {

namespace {

// FFmpeg's own messages ("moov atom not found" for a broken file, encoder
// statistics) never reach the terminal: failures come back to us as error
// codes with our own wording, and its errors and warnings go to our log at
// debug level for whoever looks into one.
void toOurLog(void *, int level, const char *format, va_list args)
{
    if (level > AV_LOG_WARNING)
        return;
    char line[512];
    int prefix = 1;
    av_log_format_line2(nullptr, level, format, args, line, sizeof line, &prefix);
    logs::debug(logs::audioRecorder(), QStringLiteral("FFmpeg: %1").arg(QString::fromUtf8(line).trimmed()));
}

void quietFFmpeg()
{
    static const bool once = [] {
        av_log_set_callback(toOurLog);
        return true;
    }();
    Q_UNUSED(once);
}

QString averror(int code)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return QString::fromUtf8(text);
}

} // namespace

struct AACFileWriter::FFmpeg
{
    AVFormatContext *format = nullptr;
    AVCodecContext *codec = nullptr;
    AVStream *stream = nullptr;
    AVFrame *frame = nullptr;
    AVPacket *packet = nullptr;

    ~FFmpeg()
    {
        if (format && format->pb)
            avio_closep(&format->pb);
        avformat_free_context(format);
        avcodec_free_context(&codec);
        av_frame_free(&frame);
        av_packet_free(&packet);
    }
};

Expected<std::unique_ptr<AACFileWriter>, QString> AACFileWriter::create(const QString &path, int sampleRate)
{
    quietFFmpeg();
    std::unique_ptr<AACFileWriter> writer(new AACFileWriter());
    writer->m_sampleRate = sampleRate;
    writer->m_ff = std::make_unique<FFmpeg>();
    FFmpeg &ff = *writer->m_ff;
    const QByteArray file = path.toUtf8();

    int rc = avformat_alloc_output_context2(&ff.format, nullptr, "ipod", file.constData());
    if (rc < 0 || !ff.format)
        return Unexpected{QStringLiteral("no MPEG-4 audio muxer: %1").arg(averror(rc))};
    const AVCodec *aac = avcodec_find_encoder(AV_CODEC_ID_AAC);
    if (!aac)
        return Unexpected{QStringLiteral("no AAC encoder")};
    ff.codec = avcodec_alloc_context3(aac);
    ff.codec->sample_fmt = AV_SAMPLE_FMT_FLTP;
    ff.codec->sample_rate = sampleRate;
    av_channel_layout_default(&ff.codec->ch_layout, 1);
    ff.codec->bit_rate = kBitRate;
    ff.codec->profile = FF_PROFILE_AAC_LOW;
    ff.codec->time_base = AVRational{1, sampleRate};
    if (ff.format->oformat->flags & AVFMT_GLOBALHEADER)
        ff.codec->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if ((rc = avcodec_open2(ff.codec, aac, nullptr)) < 0)
        return Unexpected{QStringLiteral("could not open the AAC encoder: %1").arg(averror(rc))};

    ff.stream = avformat_new_stream(ff.format, nullptr);
    ff.stream->time_base = AVRational{1, sampleRate};
    avcodec_parameters_from_context(ff.stream->codecpar, ff.codec);
    // Recordings are private: a new file is created readable by its owner
    // only (FFmpeg would use the umask's mode), before FFmpeg truncates and
    // fills it.
    if (QFile output(path); !output.exists())
        output.open(QIODevice::WriteOnly, QFile::ReadOwner | QFile::WriteOwner);
    if ((rc = avio_open(&ff.format->pb, file.constData(), AVIO_FLAG_WRITE)) < 0)
        return Unexpected{QStringLiteral("could not create %1: %2").arg(path, averror(rc))};
    if ((rc = avformat_write_header(ff.format, nullptr)) < 0)
        return Unexpected{QStringLiteral("could not write the file header: %1").arg(averror(rc))};
    ff.frame = av_frame_alloc();
    ff.packet = av_packet_alloc();
    return writer;
}

AACFileWriter::~AACFileWriter()
{
    finish();
}

QString AACFileWriter::formatDescription() const
{
    return QStringLiteral("%1 Hz mono AAC").arg(m_sampleRate);
}

std::optional<QString> AACFileWriter::append(const PcmBuffer &buffer)
{
    std::lock_guard lock(m_mutex);
    if (m_failed || m_closed)
        return std::nullopt;
    m_pending.insert(m_pending.end(), buffer.samples.begin(), buffer.samples.end());
    auto failure = encodePending(false);
    if (failure)
        m_failed = true;
    return failure;
}

std::optional<QString> AACFileWriter::finish()
{
    std::lock_guard lock(m_mutex);
    if (m_closed)
        return std::nullopt;
    m_closed = true;
    std::optional<QString> failure;
    if (!m_failed) {
        failure = encodePending(true);
        if (!failure) {
            const int rc = av_write_trailer(m_ff->format);
            if (rc < 0)
                failure = QStringLiteral("could not finish the file: %1").arg(averror(rc));
        }
    }
    avio_closep(&m_ff->format->pb);
    if (failure)
        m_failed = true;
    return failure;
}

std::optional<QString> AACFileWriter::encodePending(bool flush)
{
    const int frameSize = m_ff->codec->frame_size > 0 ? m_ff->codec->frame_size : 1024;
    size_t offset = 0;
    while (m_pending.size() - offset >= static_cast<size_t>(frameSize)) {
        if (auto failure = encodeFrame(m_pending.data() + offset, frameSize))
            return failure;
        offset += static_cast<size_t>(frameSize);
    }
    m_pending.erase(m_pending.begin(), m_pending.begin() + static_cast<std::ptrdiff_t>(offset));
    if (!flush)
        return std::nullopt;
    if (!m_pending.empty()) {
        // The last, short frame is padded with silence.
        std::vector<float> last(static_cast<size_t>(frameSize), 0.0f);
        std::copy(m_pending.begin(), m_pending.end(), last.begin());
        m_pending.clear();
        if (auto failure = encodeFrame(last.data(), frameSize))
            return failure;
    }
    const int rc = avcodec_send_frame(m_ff->codec, nullptr);
    if (rc < 0 && rc != AVERROR_EOF)
        return QStringLiteral("audio conversion failed: %1").arg(averror(rc));
    return drainPackets();
}

std::optional<QString> AACFileWriter::encodeFrame(const float *samples, int count)
{
    AVFrame *frame = m_ff->frame;
    av_frame_unref(frame);
    frame->nb_samples = count;
    frame->format = AV_SAMPLE_FMT_FLTP;
    av_channel_layout_default(&frame->ch_layout, 1);
    if (av_frame_get_buffer(frame, 0) < 0)
        return QStringLiteral("Could not allocate conversion buffer");
    std::memcpy(frame->data[0], samples, static_cast<size_t>(count) * sizeof(float));
    frame->pts = m_samplesEncoded;
    m_samplesEncoded += count;
    const int rc = avcodec_send_frame(m_ff->codec, frame);
    if (rc < 0)
        return QStringLiteral("audio conversion failed: %1").arg(averror(rc));
    return drainPackets();
}

std::optional<QString> AACFileWriter::drainPackets()
{
    for (;;) {
        const int rc = avcodec_receive_packet(m_ff->codec, m_ff->packet);
        if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF)
            return std::nullopt;
        if (rc < 0)
            return QStringLiteral("audio conversion failed: %1").arg(averror(rc));
        av_packet_rescale_ts(m_ff->packet, m_ff->codec->time_base, m_ff->stream->time_base);
        m_ff->packet->stream_index = m_ff->stream->index;
        const int wrc = av_interleaved_write_frame(m_ff->format, m_ff->packet);
        if (wrc < 0)
            return QStringLiteral("could not write audio: %1").arg(averror(wrc));
    }
}

// ---- decoding ----------------------------------------------------------------

namespace {

struct MemoryReader
{
    const QByteArray *bytes;
    qint64 position = 0;
};

int readPacket(void *opaque, uint8_t *buffer, int size)
{
    auto *reader = static_cast<MemoryReader *>(opaque);
    const qint64 left = reader->bytes->size() - reader->position;
    if (left <= 0)
        return AVERROR_EOF;
    const int n = static_cast<int>(std::min<qint64>(left, size));
    std::memcpy(buffer, reader->bytes->constData() + reader->position, static_cast<size_t>(n));
    reader->position += n;
    return n;
}

int64_t seekPacket(void *opaque, int64_t offset, int whence)
{
    auto *reader = static_cast<MemoryReader *>(opaque);
    const qint64 size = reader->bytes->size();
    if (whence == AVSEEK_SIZE)
        return size;
    qint64 target = offset;
    if ((whence & ~AVSEEK_FORCE) == SEEK_CUR)
        target = reader->position + offset;
    else if ((whence & ~AVSEEK_FORCE) == SEEK_END)
        target = size + offset;
    if (target < 0 || target > size)
        return AVERROR(EINVAL);
    reader->position = target;
    return target;
}

} // namespace

Expected<std::vector<float>, QString> decodeAudio(const QByteArray &bytes, AudioFileInfo *info,
                                                  std::optional<qint64> maxSamples)
{
    quietFFmpeg();
    if (bytes.isEmpty())
        return Unexpected{QStringLiteral("no audio data")};
    MemoryReader reader{&bytes};
    constexpr int kIoBuffer = 32768;
    auto *ioBuffer = static_cast<uint8_t *>(av_malloc(kIoBuffer));
    AVIOContext *io = avio_alloc_context(ioBuffer, kIoBuffer, 0, &reader, &readPacket, nullptr, &seekPacket);
    AVFormatContext *format = avformat_alloc_context();
    format->pb = io;
    AVCodecContext *codec = nullptr;
    SwrContext *swr = nullptr;
    AVPacket *packet = av_packet_alloc();
    AVFrame *frame = av_frame_alloc();
    std::vector<float> out;
    QString failure;

    auto cleanup = [&] {
        av_frame_free(&frame);
        av_packet_free(&packet);
        swr_free(&swr);
        avcodec_free_context(&codec);
        avformat_close_input(&format);
        if (io) {
            av_freep(&io->buffer);
            avio_context_free(&io);
        }
    };

    int rc = avformat_open_input(&format, nullptr, nullptr, nullptr);
    if (rc < 0) {
        format = nullptr; // freed by avformat_open_input on failure
        cleanup();
        return Unexpected{QStringLiteral("not a readable audio file: %1").arg(averror(rc))};
    }
    const AVCodec *decoder = nullptr;
    int streamIndex = -1;
    if (avformat_find_stream_info(format, nullptr) >= 0)
        streamIndex = av_find_best_stream(format, AVMEDIA_TYPE_AUDIO, -1, -1, &decoder, 0);
    if (streamIndex < 0 || !decoder) {
        cleanup();
        return Unexpected{QStringLiteral("no audio stream found")};
    }
    codec = avcodec_alloc_context3(decoder);
    avcodec_parameters_to_context(codec, format->streams[streamIndex]->codecpar);
    if ((rc = avcodec_open2(codec, decoder, nullptr)) < 0) {
        cleanup();
        return Unexpected{QStringLiteral("could not open the decoder: %1").arg(averror(rc))};
    }
    if (info) {
        info->codec = QString::fromUtf8(decoder->name);
        info->sampleRate = codec->sample_rate;
        info->channels = codec->ch_layout.nb_channels;
    }
    AVChannelLayout mono;
    av_channel_layout_default(&mono, 1);
    if (codec->ch_layout.nb_channels <= 0)
        av_channel_layout_default(&codec->ch_layout, 1);
    if (swr_alloc_set_opts2(&swr, &mono, AV_SAMPLE_FMT_FLT, PcmBuffer::kSampleRate, &codec->ch_layout,
                            codec->sample_fmt, codec->sample_rate, 0, nullptr) < 0 ||
        swr_init(swr) < 0) {
        cleanup();
        return Unexpected{QStringLiteral("could not set up resampling")};
    }

    auto convert = [&](const AVFrame *input) {
        const int capacity = swr_get_out_samples(swr, input ? input->nb_samples : 0);
        if (capacity <= 0)
            return;
        const size_t offset = out.size();
        out.resize(offset + static_cast<size_t>(capacity));
        auto *dst = reinterpret_cast<uint8_t *>(out.data() + offset);
        const int n =
            swr_convert(swr, &dst, capacity, input ? const_cast<const uint8_t **>(input->extended_data) : nullptr,
                        input ? input->nb_samples : 0);
        out.resize(offset + static_cast<size_t>(std::max(n, 0)));
    };
    auto receive = [&] {
        while (avcodec_receive_frame(codec, frame) >= 0) {
            convert(frame);
            av_frame_unref(frame);
        }
    };
    const auto overLimit = [&] { return maxSamples && static_cast<qint64>(out.size()) > *maxSamples; };
    while ((rc = av_read_frame(format, packet)) >= 0) {
        if (packet->stream_index == streamIndex && avcodec_send_packet(codec, packet) >= 0)
            receive();
        av_packet_unref(packet);
        if (overLimit()) {
            cleanup();
            if (info)
                info->tooLong = true;
            return Unexpected{
                QStringLiteral("the audio is longer than %1 s").arg(*maxSamples / PcmBuffer::kSampleRate)};
        }
    }
    avcodec_send_packet(codec, nullptr);
    receive();
    convert(nullptr);
    cleanup();
    if (overLimit()) {
        if (info)
            info->tooLong = true;
        return Unexpected{QStringLiteral("the audio is longer than %1 s").arg(*maxSamples / PcmBuffer::kSampleRate)};
    }
    if (out.empty())
        return Unexpected{QStringLiteral("the audio holds no samples")};
    return out;
}

} // namespace dravelin
