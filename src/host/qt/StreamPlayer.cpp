#include "host/StreamPlayer.h"

#include "host/Application.h"
#include "host/Exceptions.h"

#include <QAudio>
#include <QAudioOutput>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QMediaMetaData>
#include <QMediaPlayer>
#include <QTimer>
#include <QUrl>
#include <algorithm>

namespace host {

namespace {

// How often the stall watchdog looks.
constexpr int StallCheckMilliseconds = 100;

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

struct StreamPlayer::Impl {
    Impl() {
        preferGStreamerBackend();
        freshBackend();

        reopenTimer.setSingleShot(true);
        stallTimer.setInterval(StallCheckMilliseconds);
        QObject::connect(&reopenTimer, &QTimer::timeout, &context,
                         [this] { runUnderExceptionPolicy([&] { onReopenDue(); }); });
        QObject::connect(&stallTimer, &QTimer::timeout, &context,
                         [this] { runUnderExceptionPolicy([&] { onStallCheck(); }); });
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
                         [this](float) { noteProgress(); });
        QObject::connect(player.get(), &QMediaPlayer::positionChanged, &context,
                         [this](qint64) { noteProgress(); });
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

    ~Impl() {
        // The player goes before its output; its signals must not reach a half-destroyed Impl.
        QObject::disconnect(player.get(), nullptr, &context, nullptr);
        player.reset();
    }

    // Hands the stream to the backend afresh and starts it.
    void open() {
        reopenTimer.stop();
        lastError.clear();
        state = State::Opening;
        ++backendChanges;
        player->setSource(QUrl());
        player->setSource(QUrl(QString::fromStdString(url)));
        player->play();
        --backendChanges;
        lastProgress.restart();
        stallTimer.start();
    }

    void halt() {
        const bool gotGoing = state == State::Playing;
        wanted = false;
        state = State::Stopped;
        reopenTimer.stop();
        stallTimer.stop();
        if (!gotGoing && player->playbackState() != QMediaPlayer::StoppedState) {
            replaceBackend();
            return;
        }
        ++backendChanges;
        // Dropping the source stops at once; a plain stop would first wait on a stalled stream.
        player->setSource(QUrl());
        --backendChanges;
    }

    // The stream ended or failed by itself while it was meant to play.
    void lost() {
        if (!wanted || state == State::Reopening) {
            return;
        }
        if (!looping) {
            halt();
            return;
        }
        state = State::Reopening;
        stallTimer.stop();
        replaceBackend();
        reopenTimer.start(static_cast<int>(ReopenIntervalMilliseconds));
    }

    void onReopenDue() {
        if (!wanted || state != State::Reopening) {
            return;
        }
        if (!looping) { // switched off while waiting
            halt();
            return;
        }
        ++reopens;
        open();
    }

    void onMediaStatus(QMediaPlayer::MediaStatus status) {
        if (backendChanges > 0 || !wanted) {
            return;
        }
        noteProgress();
        switch (status) {
        case QMediaPlayer::BufferedMedia:
            if (state == State::Opening) {
                state = State::Playing;
            }
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

    void noteProgress() { lastProgress.restart(); }

    void onStallCheck() {
        if (wanted && (state == State::Opening || state == State::Playing) &&
            lastProgress.hasExpired(StallTimeoutMilliseconds)) {
            lastError =
                "no data from the stream for " + std::to_string(StallTimeoutMilliseconds) + " ms";
            lost();
        }
    }

    QObject context; // receiver of every connection, so they all end with the Impl
    QObject retired; // backends let go of and not destroyed yet; at the latest, with the Impl
    std::unique_ptr<QMediaPlayer> player;
    std::unique_ptr<QAudioOutput> output;
    QTimer reopenTimer;
    QTimer stallTimer;
    QElapsedTimer lastProgress;

    std::string url;
    int64_t volume = FullVolume;
    bool looping = false;
    bool autoPlay = false;
    bool wanted = false; // play() (or AutoPlay) happened and no stop() since
    State state = State::Stopped;
    std::string lastError;
    int64_t reopens = 0;
    int backendChanges = 0; // > 0 while we drive the backend ourselves: its echoes are ours
};

StreamPlayer::StreamPlayer() {
    requireMainThread("Constructor");
    ensureRuntime();
    impl_ = std::make_unique<Impl>();
}

StreamPlayer::~StreamPlayer() = default;

void StreamPlayer::setUrl(const std::string& url) {
    requireMainThread("Movie");
    impl_->halt();
    impl_->url = url;
    if (impl_->autoPlay) {
        play();
    }
}

std::string StreamPlayer::url() const {
    requireMainThread("Movie");
    return impl_->url;
}

void StreamPlayer::play() {
    requireMainThread("Play");
    if (impl_->wanted || impl_->url.empty()) {
        return;
    }
    impl_->wanted = true;
    impl_->reopens = 0;
    impl_->open();
}

void StreamPlayer::stop() {
    requireMainThread("Stop");
    impl_->halt();
}

void StreamPlayer::setVolume(int64_t volume) {
    requireMainThread("Volume");
    impl_->volume = std::clamp<int64_t>(volume, 0, FullVolume);
    impl_->output->setVolume(static_cast<float>(linearGain(impl_->volume)));
}

int64_t StreamPlayer::volume() const {
    requireMainThread("Volume");
    return impl_->volume;
}

void StreamPlayer::setLooping(bool looping) {
    requireMainThread("Looping");
    impl_->looping = looping;
}

bool StreamPlayer::looping() const {
    requireMainThread("Looping");
    return impl_->looping;
}

void StreamPlayer::setAutoPlay(bool autoPlay) {
    requireMainThread("AutoPlay");
    impl_->autoPlay = autoPlay;
}

bool StreamPlayer::autoPlay() const {
    requireMainThread("AutoPlay");
    return impl_->autoPlay;
}

bool StreamPlayer::isPlaying() const {
    requireMainThread("IsPlaying");
    return impl_->wanted;
}

StreamPlayer::State StreamPlayer::state() const {
    requireMainThread("State");
    return impl_->state;
}

std::string StreamPlayer::lastError() const {
    requireMainThread("LastError");
    return impl_->lastError;
}

int64_t StreamPlayer::reopenCount() const {
    requireMainThread("ReopenCount");
    return impl_->reopens;
}

// GStreamer's HTTP source turns icy-name into the stream's "organization" tag and its ICY
// demuxer StreamTitle into "title"; Qt hands them on as Publisher and Title. Qt does not
// announce a title that changes mid-stream, so they are read afresh at each call.
std::string StreamPlayer::stationName() const {
    requireMainThread("StationName");
    if (!impl_->wanted) {
        return {};
    }
    return impl_->player->metaData().stringValue(QMediaMetaData::Publisher).toStdString();
}

std::string StreamPlayer::streamTitle() const {
    requireMainThread("StreamTitle");
    if (!impl_->wanted) {
        return {};
    }
    return impl_->player->metaData().stringValue(QMediaMetaData::Title).toStdString();
}

double StreamPlayer::linearGain(int64_t volume) {
    const double level = static_cast<double>(std::clamp<int64_t>(volume, 0, FullVolume)) /
                         static_cast<double>(FullVolume);
    return QAudio::convertVolume(level, QAudio::CubicVolumeScale, QAudio::LinearVolumeScale);
}

} // namespace host
