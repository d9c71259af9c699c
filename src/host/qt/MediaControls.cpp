// The desktop's media controls over MPRIS 2 (org.mpris.MediaPlayer2 and its Player interface)
// on the session bus, through Qt D-Bus.

#include "host/MediaControls.h"

#include "host/Application.h"
#include "host/Controls.h"
#include "host/EventLoop.h"
#include "host/StreamPlayer.h"

#include <QCoreApplication>
#include <QDBusAbstractAdaptor>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QTimer>
#include <QVariantMap>

namespace host {
namespace {

const QString kObjectPath = QStringLiteral("/org/mpris/MediaPlayer2");
const QString kRootInterface = QStringLiteral("org.mpris.MediaPlayer2");
const QString kPlayerInterface = QStringLiteral("org.mpris.MediaPlayer2.Player");
// The one "track" a station has: what it plays now.
const QString kTrackId = QStringLiteral("/org/tamselradio/Station");
// How often the stream's description is looked at: a changed title reaches the desktop
// within this (Qt does not announce it).
constexpr int kStreamCheckMs = 250;

} // namespace

// What the two interfaces publish, and where their requests go.
class MprisService : public QObject {
    Q_OBJECT
public:
    MprisService(MediaControls& owner, QString name, QString desktopEntry)
        : owner(owner), name(std::move(name)), desktopEntry(std::move(desktopEntry)) {}

    QVariantMap metadata() const {
        QVariantMap map;
        map.insert(QStringLiteral("mpris:trackid"), QVariant::fromValue(QDBusObjectPath(kTrackId)));
        if (!station.isEmpty()) {
            map.insert(QStringLiteral("xesam:album"), station);
        }
        if (!title.isEmpty()) {
            map.insert(QStringLiteral("xesam:title"), title);
        }
        return map;
    }

    // Tells the bus what changed (the Properties interface's own signal).
    void announce(const QString& property, const QVariant& value) const {
        if (!registered) {
            return;
        }
        QDBusMessage signal = QDBusMessage::createSignal(
            kObjectPath, QStringLiteral("org.freedesktop.DBus.Properties"),
            QStringLiteral("PropertiesChanged"));
        signal << kPlayerInterface << QVariantMap{{property, value}} << QStringList();
        QDBusConnection::sessionBus().send(signal);
    }

    // After the bus has had its reply: a request may close the window, or end the program,
    // and the desktop asking must not be left waiting for an answer that never comes. The
    // host's posts are held while a blocking wait keeps the windows alive, so a request made
    // meanwhile is handled after the wait, as a click made meanwhile is.
    void request(MediaRequest what) {
        loop::post([self = QPointer<MprisService>(this), what] {
            if (!self.isNull()) {
                self->owner.request(what);
            }
        });
    }

    void requestVolume(double volume) {
        if (!loop::keepingWindowsAlive()) {
            owner.requestVolume(volume);
            return;
        }
        loop::post([self = QPointer<MprisService>(this), volume] {
            if (!self.isNull()) {
                self->owner.requestVolume(volume);
            }
        });
    }

    MediaControls& owner;
    QString name;
    QString desktopEntry;
    QString busName;
    bool registered = false;
    QString station;
    QString title;
};

namespace {

class RootAdaptor : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.mpris.MediaPlayer2")
    Q_PROPERTY(bool CanQuit READ yes)
    Q_PROPERTY(bool CanRaise READ yes)
    Q_PROPERTY(bool HasTrackList READ no)
    Q_PROPERTY(QString Identity READ identity)
    Q_PROPERTY(QString DesktopEntry READ desktopEntry)
    Q_PROPERTY(QStringList SupportedUriSchemes READ none)
    Q_PROPERTY(QStringList SupportedMimeTypes READ none)
public:
    explicit RootAdaptor(MprisService* service) : QDBusAbstractAdaptor(service), s(*service) {}
    bool no() const { return false; }
    bool yes() const { return true; }
    QString identity() const { return s.name; }
    QString desktopEntry() const { return s.desktopEntry; }
    QStringList none() const { return {}; }

public slots:
    void Raise() { s.request(MediaRequest::Raise); }
    void Quit() { s.request(MediaRequest::Quit); }

private:
    MprisService& s;
};

class PlayerAdaptor : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.mpris.MediaPlayer2.Player")
    Q_PROPERTY(QString PlaybackStatus READ playbackStatus)
    Q_PROPERTY(double Rate READ one WRITE ignoreRate)
    Q_PROPERTY(double MinimumRate READ one)
    Q_PROPERTY(double MaximumRate READ one)
    Q_PROPERTY(QVariantMap Metadata READ metadata)
    Q_PROPERTY(double Volume READ volume WRITE setVolume)
    Q_PROPERTY(qlonglong Position READ position)
    Q_PROPERTY(bool CanGoNext READ no)
    Q_PROPERTY(bool CanGoPrevious READ no)
    Q_PROPERTY(bool CanPlay READ yes)
    Q_PROPERTY(bool CanPause READ yes)
    Q_PROPERTY(bool CanSeek READ no)
    Q_PROPERTY(bool CanControl READ yes)
public:
    explicit PlayerAdaptor(MprisService* service) : QDBusAbstractAdaptor(service), s(*service) {}
    QString playbackStatus() const {
        return s.owner.Playing() ? QStringLiteral("Playing") : QStringLiteral("Stopped");
    }
    double one() const { return 1.0; }
    void ignoreRate(double) {}
    QVariantMap metadata() const { return s.metadata(); }
    double volume() const { return s.owner.Volume(); }
    void setVolume(double volume) { s.requestVolume(volume); }
    // A live stream has no position to report or seek to.
    qlonglong position() const { return 0; }
    bool no() const { return false; }
    bool yes() const { return true; }

signals:
    void Seeked(qlonglong position);

public slots:
    void Play() { s.request(MediaRequest::Play); }
    void Pause() { s.request(MediaRequest::Pause); }
    void PlayPause() { s.request(MediaRequest::PlayPause); }
    void Stop() { s.request(MediaRequest::Stop); }
    // One station: nothing before or after it, nothing to seek in, no other address to open.
    void Next() {}
    void Previous() {}
    void Seek(qlonglong) {}
    void SetPosition(const QDBusObjectPath&, qlonglong) {}
    void OpenUri(const QString&) {}

private:
    MprisService& s;
};

} // namespace

struct MediaControls::Impl {
    Impl(MediaControls& owner, const std::string& name, const std::string& desktopEntry)
        : service(owner, QString::fromStdString(name), QString::fromStdString(desktopEntry)) {
        new RootAdaptor(&service);
        new PlayerAdaptor(&service);
        QDBusConnection bus = QDBusConnection::sessionBus();
        if (!bus.isConnected() || !bus.registerObject(kObjectPath, &service)) {
            return;
        }
        // A second player of the same name takes the name with its own instance added, as
        // the desktop's convention has it.
        const QString wanted = kRootInterface + '.' + service.name;
        for (const QString& candidate :
             {wanted, wanted + QStringLiteral(".instance") +
                          QString::number(QCoreApplication::applicationPid())}) {
            if (bus.registerService(candidate)) {
                service.busName = candidate;
                service.registered = true;
                break;
            }
        }
        if (!service.registered) {
            bus.unregisterObject(kObjectPath);
        }
        streamCheck.setInterval(kStreamCheckMs);
        QObject::connect(&streamCheck, &QTimer::timeout, &service, [this] { lookAtStream(); });
    }

    ~Impl() {
        if (service.registered) {
            QDBusConnection bus = QDBusConnection::sessionBus();
            bus.unregisterService(service.busName);
            bus.unregisterObject(kObjectPath);
        }
    }

    void lookAtStream() {
        if (player == nullptr) {
            return;
        }
        const QString station = QString::fromStdString(player->player().stationName());
        const QString title = QString::fromStdString(player->player().streamTitle());
        if (station != service.station || title != service.title) {
            service.station = station;
            service.title = title;
            service.announce(QStringLiteral("Metadata"), service.metadata());
        }
    }

    MprisService service;
    QTimer streamCheck;
    const MoviePlayer* player = nullptr;
};

MediaControls::MediaControls(const std::string& name, const std::string& desktopEntry) {
    requireUIThread("MediaControls.Constructor");
    ensureRuntime();
    impl_ = std::make_unique<Impl>(*this, name, desktopEntry);
}

MediaControls::~MediaControls() = default;

bool MediaControls::Available() const {
    requireUIThread("MediaControls.Available");
    return impl_->service.registered;
}

void MediaControls::announcePlaying() {
    impl_->service.announce(QStringLiteral("PlaybackStatus"),
                            playing_ ? QStringLiteral("Playing") : QStringLiteral("Stopped"));
    impl_->lookAtStream();
}

void MediaControls::announceVolume() {
    impl_->service.announce(QStringLiteral("Volume"), volume_);
}

void MediaControls::showStreamOf(const MoviePlayer& player) {
    requireUIThread("MediaControls.ShowStreamOf");
    impl_->player = &player;
    if (impl_->service.registered) {
        impl_->streamCheck.start();
    }
    impl_->lookAtStream();
}

} // namespace host

#include "MediaControls.moc"
