#pragma once

// Controls inside a host window: push buttons, sliders and the hidden movie player.
// Events are handlers the owner assigns; the host calls them on the main thread under the
// application's exception policy. Every operation must be called on the main thread and
// raises ThreadAccessingUIException otherwise.

#include "host/PropertyBlock.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>

namespace host {

class Window;
class StreamPlayer;
struct ControlState;

// The Index of a control that is not an element of a control set.
inline constexpr int64_t kNoControlIndex = INT64_C(-2147483648);

class Control : public PropertyTarget {
public:
    ~Control() override;
    Control(const Control&) = delete;
    Control& operator=(const Control&) = delete;

    // The host class name ("PushButton", "Slider", "MoviePlayer").
    virtual const char* ClassName() const = 0;

    Window& parentWindow() const;

    std::string Name() const;
    int64_t Index() const;
    int64_t Left() const;
    int64_t Top() const;
    int64_t Width() const;
    int64_t Height() const;
    void setLeft(int64_t left);
    void setTop(int64_t top);
    void setWidth(int64_t width);
    void setHeight(int64_t height);
    bool Enabled() const;
    void setEnabled(bool enabled);
    bool Visible() const;
    void setVisible(bool visible);
    int64_t TabIndex() const;
    void setTabIndex(int64_t tabIndex);
    bool TabStop() const;
    std::string HelpTag() const;

    bool HasProperty(std::string_view name) const override;
    void SetProperty(std::string_view name, const PropertyValue& value) override;
    // The properties every kind of control has.
    static std::span<const Property<Control>> commonProperties();

    // Keeps the control's locked edges at their distance when the window changes size.
    void parentResized(int64_t oldWidth, int64_t oldHeight, int64_t newWidth, int64_t newHeight);

    struct Impl;
    Impl& impl() const { return *impl_; }

protected:
    explicit Control(std::unique_ptr<Impl> impl);
    // The properties a subclass adds to the common ones, from its ownProperties table.
    virtual bool hasOwnProperty(std::string_view name) const = 0;
    virtual void setOwnProperty(std::string_view name, const PropertyValue& value) = 0;

private:
    // The values every backend keeps alike; the backend's Impl holds them.
    ControlState& state() const;
    // Shows Name, HelpTag and the accessible texts where the platform has a place for them.
    void showTexts();

    std::unique_ptr<Impl> impl_;
};

class PushButton : public Control {
public:
    explicit PushButton(Window& parent);
    ~PushButton() override;
    const char* ClassName() const override { return "PushButton"; }

    std::string Caption() const;
    void setCaption(const std::string& caption);
    bool Default() const;
    bool Cancel() const;
    // Presses the button as a click does, raising Action when it is enabled.
    void Push();

    // Raised when the user presses the button.
    std::function<void(PushButton& sender)> Action;

    static std::span<const Property<PushButton>> ownProperties();

protected:
    bool hasOwnProperty(std::string_view name) const override;
    void setOwnProperty(std::string_view name, const PropertyValue& value) override;

private:
    // The backend's: show what the state now holds.
    void showCaption();
    void showDefault();
    void showFont();

    struct ButtonState;
    std::unique_ptr<ButtonState> state_;
};

class Slider : public Control {
public:
    explicit Slider(Window& parent);
    ~Slider() override;
    const char* ClassName() const override { return "Slider"; }

    int64_t Value() const;
    // A value outside Minimum .. Maximum is kept and takes effect once the range holds it.
    void setValue(int64_t value);
    int64_t Minimum() const;
    int64_t Maximum() const;
    void setMinimum(int64_t minimum);
    void setMaximum(int64_t maximum);
    int64_t LineStep() const;
    int64_t PageStep() const;
    bool LiveScroll() const;

    // Raised whenever Value changes, by the user or by the program.
    std::function<void(Slider& sender)> ValueChanged;

    static std::span<const Property<Slider>> ownProperties();

protected:
    bool hasOwnProperty(std::string_view name) const override;
    void setOwnProperty(std::string_view name, const PropertyValue& value) override;

private:
    void applyRange();
    // The backend's: steps of at least 1; LiveScroll off reports a drag once, on release;
    // TickStyle 0 none, 1 above, 2 below, 3 both sides.
    void setLineStep(int64_t step);
    void setPageStep(int64_t step);
    void setLiveScroll(bool live);
    void setTickStyle(int64_t style);
    struct SliderState;
    std::unique_ptr<SliderState> state_;
};

// What a movie player plays: here always a stream opened from a URL.
class Movie {
public:
    explicit Movie(std::string url) : url_(std::move(url)) {}
    const std::string& url() const { return url_; }

private:
    std::string url_;
};

// Opens a movie for a URL without contacting the server; an unreachable stream only shows
// when it is played. Raises UnsupportedFormatException for a text that is not an absolute
// URL. Main thread only.
std::shared_ptr<Movie> OpenURLMovie(const std::string& url);

// A movie player that is never shown: it plays the assigned movie's sound.
class MoviePlayer : public Control {
public:
    explicit MoviePlayer(Window& parent);
    ~MoviePlayer() override;
    const char* ClassName() const override { return "MoviePlayer"; }

    std::shared_ptr<Movie> movie() const;
    // Assigns the movie; nil stops and leaves nothing assigned. With AutoPlay on, the new
    // movie starts playing at once.
    void setMovie(std::shared_ptr<Movie> movie);
    void Play();
    void Stop();
    // 0 silence .. 250 full gain, taken unchanged (the engine clamps outside that range).
    int64_t Volume() const;
    void setVolume(int64_t volume);
    bool AutoPlay() const;
    bool Looping() const;
    bool isPlaying() const;

    // The engine underneath, for inspection.
    StreamPlayer& player() const;

    static std::span<const Property<MoviePlayer>> ownProperties();

protected:
    bool hasOwnProperty(std::string_view name) const override;
    void setOwnProperty(std::string_view name, const PropertyValue& value) override;

private:
    struct PlayerState;
    std::unique_ptr<PlayerState> state_;
};

} // namespace host
