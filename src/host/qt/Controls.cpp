#include "host/Controls.h"

#include "host/Application.h"
#include "host/ControlState.h"
#include "host/StreamPlayer.h"
#include "host/Window.h"
#include "host/WindowState.h"
#include "host/qt/WidgetAccess.h"

#include <QFont>
#include <QFontDatabase>
#include <QPointer>
#include <QPushButton>
#include <QSlider>
#include <QUrl>
#include <QWidget>
#include <algorithm>
#include <array>
#include <functional>
#include <vector>

namespace host {
namespace {

int toInt(int64_t value) {
    return static_cast<int>(std::clamp<int64_t>(value, -2147483647 - 1, 2147483647));
}

} // namespace

struct Control::Impl : ControlState {
    Impl(Window& parentWindow, QWidget* w) : ControlState(parentWindow), widget(w) {}
    ~Impl() { delete widget.data(); }
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;

    QPointer<QWidget> widget;
};

Control::Control(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {
    requireUIThread("Control.Constructor");
    // A child made after its window is shown is not shown along with it.
    if (widgetOf(*impl_->parent)->isVisible()) {
        impl_->widget->show();
    }
}

Control::~Control() = default;

ControlState& Control::state() const {
    return *impl_;
}

void Control::showTexts() {
    impl_->widget->setObjectName(QString::fromStdString(impl_->name));
    impl_->widget->setToolTip(QString::fromStdString(impl_->helpTag));
    impl_->widget->setAccessibleName(QString::fromStdString(impl_->accessibleName));
    impl_->widget->setAccessibleDescription(QString::fromStdString(impl_->accessibleDescription));
}

int64_t Control::Left() const {
    requireUIThread("Control.Left");
    return impl_->widget->x();
}

int64_t Control::Top() const {
    requireUIThread("Control.Top");
    return impl_->widget->y();
}

int64_t Control::Width() const {
    requireUIThread("Control.Width");
    return impl_->widget->width();
}

int64_t Control::Height() const {
    requireUIThread("Control.Height");
    return impl_->widget->height();
}

void Control::setLeft(int64_t left) {
    requireUIThread("Control.Left");
    impl_->widget->move(toInt(left), impl_->widget->y());
}

void Control::setTop(int64_t top) {
    requireUIThread("Control.Top");
    impl_->widget->move(impl_->widget->x(), toInt(top));
}

void Control::setWidth(int64_t width) {
    requireUIThread("Control.Width");
    impl_->widget->resize(std::max(0, toInt(width)), impl_->widget->height());
}

void Control::setHeight(int64_t height) {
    requireUIThread("Control.Height");
    impl_->widget->resize(impl_->widget->width(), std::max(0, toInt(height)));
}

void Control::setEnabled(bool enabled) {
    requireUIThread("Control.Enabled");
    impl_->enabled = enabled;
    impl_->widget->setEnabled(enabled);
}

void Control::setVisible(bool visible) {
    requireUIThread("Control.Visible");
    impl_->visible = visible;
    impl_->widget->setVisible(visible);
}

QWidget* widgetOf(const Control& control) {
    return control.impl().widget.data();
}

// ---- PushButton -----------------------------------------------------------------------

namespace {

QPushButton* buttonWidget(const Control& control) {
    return static_cast<QPushButton*>(widgetOf(control));
}

} // namespace

PushButton::PushButton(Window& parent)
    : Control(std::make_unique<Impl>(parent, new QPushButton(widgetOf(parent)))),
      state_(std::make_unique<ButtonState>()) {
    QPushButton* button = buttonWidget(*this);
    button->setAutoDefault(false);
    button->setFocusPolicy(Qt::StrongFocus);
    QObject::connect(button, &QPushButton::clicked, button, [this] {
        raiseEvent(parentWindow(), [this] {
            if (Action) {
                auto handler = Action;
                handler(*this);
            }
        });
    });
}

PushButton::~PushButton() = default;

void PushButton::Push() {
    requireUIThread("PushButton.Push");
    buttonWidget(*this)->click();
}

void PushButton::showCaption() {
    buttonWidget(*this)->setText(QString::fromStdString(state_->caption));
}

void PushButton::showDefault() {
    buttonWidget(*this)->setDefault(state_->isDefault);
}

void PushButton::showFont() {
    const ButtonState& s = *state_;
    // "System" (or nothing) and size 0 stand for the platform's own button font.
    QFont font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    if (!s.textFont.empty() && s.textFont != "System") {
        font.setFamily(QString::fromStdString(s.textFont));
    }
    if (s.textSize > 0.0F) {
        if (s.textUnit.code == TextStyle::kPixelUnit) {
            font.setPixelSize(std::max(1, static_cast<int>(s.textSize)));
        } else {
            font.setPointSizeF(s.textSize);
        }
    }
    font.setBold(s.bold);
    font.setItalic(s.italic);
    font.setUnderline(s.underline);
    buttonWidget(*this)->setFont(font);
}

// ---- Slider -------------------------------------------------------------------------

struct Slider::SliderState {
    // The value asked for; the widget holds it once the range allows it.
    int64_t requested = 0;
    bool liveScroll = false;
};

namespace {

QSlider* sliderWidget(const Control& control) {
    return static_cast<QSlider*>(widgetOf(control));
}

} // namespace

Slider::Slider(Window& parent)
    : Control(std::make_unique<Impl>(parent, new QSlider(Qt::Horizontal, widgetOf(parent)))),
      state_(std::make_unique<SliderState>()) {
    QSlider* slider = sliderWidget(*this);
    slider->setRange(0, 100);
    slider->setValue(0);
    slider->setTracking(false);
    slider->setFocusPolicy(Qt::StrongFocus);
    QObject::connect(slider, &QSlider::valueChanged, slider, [this](int value) {
        state_->requested = value;
        raiseEvent(parentWindow(), [this] {
            if (ValueChanged) {
                auto handler = ValueChanged;
                handler(*this);
            }
        });
    });
}

Slider::~Slider() = default;

int64_t Slider::Value() const {
    requireUIThread("Slider.Value");
    return sliderWidget(*this)->value();
}

void Slider::setValue(int64_t value) {
    requireUIThread("Slider.Value");
    state_->requested = value;
    applyRange();
}

int64_t Slider::Minimum() const {
    requireUIThread("Slider.Minimum");
    return sliderWidget(*this)->minimum();
}

int64_t Slider::Maximum() const {
    requireUIThread("Slider.Maximum");
    return sliderWidget(*this)->maximum();
}

void Slider::setMinimum(int64_t minimum) {
    requireUIThread("Slider.Minimum");
    sliderWidget(*this)->setMinimum(toInt(minimum));
    applyRange();
}

void Slider::setMaximum(int64_t maximum) {
    requireUIThread("Slider.Maximum");
    sliderWidget(*this)->setMaximum(toInt(maximum));
    applyRange();
}

int64_t Slider::LineStep() const {
    return sliderWidget(*this)->singleStep();
}
int64_t Slider::PageStep() const {
    return sliderWidget(*this)->pageStep();
}
bool Slider::LiveScroll() const {
    return state_->liveScroll;
}

void Slider::applyRange() {
    QSlider* slider = sliderWidget(*this);
    const int64_t wanted = state_->requested;
    slider->setValue(toInt(std::clamp<int64_t>(wanted, slider->minimum(), slider->maximum())));
    // A value outside the current range stays asked for until the range holds it.
    state_->requested = wanted;
}

void Slider::setLineStep(int64_t step) {
    sliderWidget(*this)->setSingleStep(toInt(step));
}

void Slider::setPageStep(int64_t step) {
    sliderWidget(*this)->setPageStep(toInt(step));
}

void Slider::setLiveScroll(bool live) {
    state_->liveScroll = live;
    sliderWidget(*this)->setTracking(live);
}

void Slider::setTickStyle(int64_t style) {
    static constexpr std::array<QSlider::TickPosition, 4> positions = {
        QSlider::NoTicks, QSlider::TicksAbove, QSlider::TicksBelow, QSlider::TicksBothSides};
    sliderWidget(*this)->setTickPosition(positions[static_cast<size_t>(style)]);
}

// ---- MoviePlayer --------------------------------------------------------------------

std::shared_ptr<Movie> OpenURLMovie(const std::string& url) {
    requireUIThread("OpenURLMovie");
    const QUrl parsed(QString::fromStdString(url), QUrl::StrictMode);
    if (!parsed.isValid() || parsed.isRelative()) {
        throw UnsupportedFormatException("not a URL a movie can be opened from: \"" + url + "\"");
    }
    return std::make_shared<Movie>(url);
}

MoviePlayer::MoviePlayer(Window& parent)
    : Control(std::make_unique<Impl>(parent, new QWidget(widgetOf(parent)))),
      state_(std::make_unique<PlayerState>()) {
    QWidget* widget = widgetOf(*this);
    // The player has no picture and no controller of its own: it is never shown and never
    // takes the focus.
    widget->setFocusPolicy(Qt::NoFocus);
    widget->hide();
}

} // namespace host
