// The least a Qt Widgets program needs to play a stream the way the player does: a window
// with the same controls (three buttons and a volume slider) and a QMediaPlayer with its
// QAudioOutput, decoding through Qt Multimedia's GStreamer backend, started at once. None of
// our code is in it, so bench/run can tell what of the player's memory is Qt's own.
//
//   bench_peer_qt_player URL

#include <QApplication>
#include <QAudioOutput>
#include <QMediaPlayer>
#include <QPushButton>
#include <QSlider>
#include <QUrl>
#include <QWidget>
#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s URL\n", argv[0]);
        return 2;
    }
    // The backend the player asks for.
    qputenv("QT_MEDIA_BACKEND", "gstreamer");
    QApplication application(argc, argv);

    QWidget window;
    window.setWindowTitle("Qt player");
    window.setFixedSize(212, 99);
    QSlider volume(Qt::Horizontal, &window);
    volume.setGeometry(20, 33, 180, 23);
    QPushButton play("Play", &window);
    play.setGeometry(20, 68, 67, 20);
    QPushButton stop("Stop", &window);
    stop.setGeometry(99, 68, 67, 20);
    QPushButton about("?", &window);
    about.setGeometry(178, 68, 22, 20);

    QMediaPlayer player;
    QAudioOutput output;
    player.setAudioOutput(&output);
    QObject::connect(&play, &QPushButton::clicked, &player, &QMediaPlayer::play);
    QObject::connect(&stop, &QPushButton::clicked, &player, &QMediaPlayer::stop);
    QObject::connect(&volume, &QSlider::valueChanged, &output,
                     [&output](int value) { output.setVolume(value / 100.0f); });
    player.setSource(QUrl(QString::fromLocal8Bit(argv[1])));
    window.show();
    player.play();
    return application.exec();
}
