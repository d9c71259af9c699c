#include "host/StreamPlayer.h"

#include "host/Application.h"
#include "host/Exceptions.h"
#include "host/StreamPlayerState.h"

#include <QAudioOutput>
#include <QCoreApplication>
#include <QMediaMetaData>
#include <QMediaPlayer>
#include <QTimer>
#include <QUrl>
#include <algorithm>

namespace host {

namespace {

void requireMainThread(const char* operation) {
    requireUIThread((std::string("StreamPlayer.") + operation).c_str());
}

// Qt Multimedia picks its backend once per process; the streams are decoded by GStreamer
// (the codecs the player promises are the ones Debian's GStreamer plug-ins bring), so ask
// for it unless the environment has already chosen.
void preferGStreamerBackend() {
    if (!qEnvironmentVariableIsSet("QT_MEDIA_BACKEND")) {
        qputenv("QT_MEDIA_BACKEND", "gstreamer");
    }
}

} // namespace

struct StreamPlayer::Engine final : StreamPlayer::Impl {
    Engine() {
        preferGStreamerBackend();
        freshBackend();
    }

    // A backend player with its own output, at the current volume.
    void freshBackend() {
        player = std::make_unique<QMediaPlayer>();
        output = std::make_unique<QAudioOutput>();
        player->setAudioOutput(output.get());
        output->setVolume(static_cast<float>(linearGain(volume)));

        // Qt calls these from its event loop; nothing may escape into it.
        QObject::connect(player.get(), &QMediaPlayer::mediaStatusChanged, &context,
                         [this](QMediaPlayer::MediaStatus status) {
                             runUnderExceptionPolicy([&] { onMediaStatus(status); });
                         });
        QObject::connect(player.get(), &QMediaPlayer::errorOccurred, &context,
                         [this](QMediaPlayer::Error error, const QString& text) {
                             runUnderExceptionPolicy([&] { onError(error, text); });
                         });
        QObject::connect(player.get(), &QMediaPlayer::playbackStateChanged, &context,
                         [this](QMediaPlayer::PlaybackState playback) {
                             runUnderExceptionPolicy([&] { onPlaybackState(playback); });
                         });
        QObject::connect(player.get(), &QMediaPlayer::bufferProgressChanged, &context,
                         [this](float) { progressed(); });
        QObject::connect(player.get(), &QMediaPlayer::positionChanged, &context,
                         [this](qint64) { progressed(); });
    }

    // Swaps in a fresh backend for one whose stream failed or never got going. Handing such
    // a stream a new source (or a stop) makes the backend wait up to a second for a pipeline
    // that cannot get ready, on the main thread, at every attempt; destroying it does not
    // wait. The old one goes from a zero timer: this may run inside its own notification,
    // and a timer fires in nested event loops too, so its connection closes at once.
    void replaceBackend() {
        QObject::disconnect(player.get(), nullptr, &context, nullptr);
        QMediaPlayer* oldPlayer = player.release();
        QAudioOutput* oldOutput = output.release();
        oldPlayer->setParent(&retired);
        oldOutput->setParent(&retired);
        QTimer::singleShot(0, &retired, [oldPlayer, oldOutput] {
            delete oldPlayer;
            delete oldOutput;
        });
        freshBackend();
    }

    ~Engine() override {
        // The player goes before its output; its signals must not reach a half-destroyed Engine.
        QObject::disconnect(player.get(), nullptr, &context, nullptr);
        player.reset();
    }

    // Hands the stream to the backend afresh and starts it.
    void open() override {
        ++backendChanges;
        player->setSource(QUrl());
        player->setSource(QUrl(QString::fromStdString(url)));
        player->play();
        --backendChanges;
    }

    void applyVolume() override { output->setVolume(static_cast<float>(linearGain(volume))); }

    void close(bool failed) override {
        if (failed ||
            (state != State::Playing && player->playbackState() != QMediaPlayer::StoppedState)) {
            replaceBackend();
            return;
        }
        ++backendChanges;
        // Dropping the source stops at once; a plain stop would first wait on a stalled stream.
        player->setSource(QUrl());
        --backendChanges;
    }

    void onMediaStatus(QMediaPlayer::MediaStatus status) {
        if (backendChanges > 0 || !wanted) {
            return;
        }
        progressed();
        switch (status) {
        case QMediaPlayer::BufferedMedia:
            sounding();
            break;
        case QMediaPlayer::EndOfMedia:
        case QMediaPlayer::InvalidMedia:
            lost();
            break;
        default:
            break;
        }
    }

    void onError(QMediaPlayer::Error error, const QString& text) {
        if (error == QMediaPlayer::NoError) {
            return;
        }
        lastError = text.toStdString();
        if (backendChanges == 0) {
            lost();
        }
    }

    void onPlaybackState(QMediaPlayer::PlaybackState playback) {
        // Some backends end a stream by stopping without an EndOfMedia first.
        if (backendChanges == 0 && playback == QMediaPlayer::StoppedState) {
            lost();
        }
    }

    QObject context; // receiver of every connection, so they all end with the Engine
    QObject retired; // backends let go of and not destroyed yet; at the latest, with the Engine
    std::unique_ptr<QMediaPlayer> player;
    std::unique_ptr<QAudioOutput> output;

    int backendChanges = 0; // > 0 while we drive the backend ourselves: its echoes are ours
};

StreamPlayer::StreamPlayer() {
    requireMainThread("Constructor");
    ensureRuntime();
    impl_ = std::make_unique<Engine>();
}

// GStreamer's HTTP source turns icy-name into the stream's "organization" tag and its ICY
// demuxer StreamTitle into "title"; Qt hands them on as Publisher and Title. An Ogg stream's
// icy-name does not get past the Ogg demuxer: there the stream's own ORGANIZATION and TITLE
// comments give the same tags. Qt does not announce a title that changes mid-stream, so they
// are read afresh at each call.
std::string StreamPlayer::stationName() const {
    requireMainThread("StationName");
    if (!impl_->wanted) {
        return {};
    }
    return static_cast<const Engine&>(*impl_)
        .player->metaData()
        .stringValue(QMediaMetaData::Publisher)
        .toStdString();
}

std::string StreamPlayer::streamTitle() const {
    requireMainThread("StreamTitle");
    if (!impl_->wanted) {
        return {};
    }
    return static_cast<const Engine&>(*impl_)
        .player->metaData()
        .stringValue(QMediaMetaData::Title)
        .toStdString();
}

} // namespace host
