#include "host/Application.h"
#include "host/PropertyBlock.h"
#include "host/Window.h"

#include <gtest/gtest.h>
#include <string>

namespace {

using host::PropertyEntry;

std::string bytes(std::initializer_list<int> values) {
    std::string out;
    for (int v : values) {
        out.push_back(static_cast<char>(v));
    }
    return out;
}

// The message of the UnsupportedFormatException the block raises, or "" when none.
std::string refusal(const std::string& block) {
    try {
        host::decodePropertyBlock(block);
    } catch (const host::UnsupportedFormatException& e) {
        return e.Message();
    }
    return {};
}

TEST(PropertyBlock, EveryTypeEncodesAsItsFixedLayout) {
    EXPECT_EQ(host::encodePropertyBlock({{"Left", int64_t{-2}}}),
              "Left " + bytes({0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(host::encodePropertyBlock({{"Bold", true}, {"Italic", false}}),
              "Bold " + bytes({1}) + "Italic " + bytes({0}));
    EXPECT_EQ(host::encodePropertyBlock({{"TextUnit", host::FontUnit{200}}}),
              "TextUnit " + bytes({200}));
    EXPECT_EQ(host::encodePropertyBlock({{"Caption", std::string("H\xC3\xA9")}}),
              "Caption " + bytes({3, 0, 0, 0}) + "H\xC3\xA9");
    EXPECT_EQ(host::encodePropertyBlock({{"BackColor", host::Color{1, 2, 3, 4}}}),
              "BackColor " + bytes({1, 2, 3, 4}));
    EXPECT_EQ(host::encodePropertyBlock({{"TextSize", 12.5F}}),
              "TextSize " + bytes({0x00, 0x00, 0x48, 0x41}));
    EXPECT_THROW(host::encodePropertyBlock({{"Left", true}}), host::TypeMismatchException);
    EXPECT_THROW(host::encodePropertyBlock({{"Colour", int64_t{1}}}),
                 host::UnsupportedFormatException);
}

TEST(PropertyBlock, DecodingGivesBackWhatWasEncoded) {
    const std::vector<PropertyEntry> entries = {{"Index", int64_t{-2147483648LL}},
                                                {"Width", int64_t{INT64_MAX}},
                                                {"HelpTag", std::string()},
                                                {"Title", std::string(300, 'x')},
                                                {"Visible", false},
                                                {"TextSize", -0.25F},
                                                {"TextUnit", host::FontUnit{0}},
                                                {"BackColor", host::Color{0xFF, 0xFF, 0xFF, 0}}};
    const std::vector<PropertyEntry> decoded =
        host::decodePropertyBlock(host::encodePropertyBlock(entries));
    ASSERT_EQ(decoded.size(), entries.size());
    for (size_t i = 0; i < entries.size(); ++i) {
        EXPECT_EQ(decoded[i].name, entries[i].name);
        EXPECT_EQ(decoded[i].value, entries[i].value) << entries[i].name;
    }
    EXPECT_TRUE(host::decodePropertyBlock("").empty());
}

TEST(PropertyBlock, MalformedBlocksNameThePropertyAndTheOffset) {
    const std::string width = "Width " + bytes({1, 0, 0, 0, 0, 0, 0, 0}); // 14 bytes

    EXPECT_EQ(refusal(width + "Colour " + bytes({1})),
              "malformed property block: property \"Colour\" at byte offset 14: unknown property");
    EXPECT_EQ(refusal(width + "Height" + bytes({1, 0, 0, 0, 0, 0, 0, 0})),
              "malformed property block: property \"Height\" at byte offset 20: missing space "
              "after the property name");
    EXPECT_EQ(refusal(width + "Height"),
              "malformed property block: property \"Height\" at byte offset 20: missing space "
              "after the property name");
    EXPECT_EQ(refusal(width + "Height " + bytes({1, 0, 0})),
              "malformed property block: property \"Height\" at byte offset 21: integer value "
              "truncated: 8 bytes needed, 3 left");
    EXPECT_EQ(refusal("Title " + bytes({5, 0, 0, 0}) + "abc"),
              "malformed property block: property \"Title\" at byte offset 6: string value "
              "truncated: 5 bytes announced, 3 left");
    EXPECT_EQ(refusal("Title " + bytes({5, 0})),
              "malformed property block: property \"Title\" at byte offset 6: string value "
              "truncated: 4 bytes needed, 2 left");
    EXPECT_EQ(refusal("TextSize " + bytes({0})),
              "malformed property block: property \"TextSize\" at byte offset 9: single value "
              "truncated: 4 bytes needed, 1 left");
    EXPECT_NE(refusal(width + " " + bytes({1})), "");
    EXPECT_NE(refusal("Visible " + bytes({2})), "");
}

class MassPropertySetter : public ::testing::Test {
protected:
    void SetUp() override {
        host::ensureRuntime();
        window = host::Window::create<host::Window>("Test.BlockWindow");
        slider = &static_cast<host::Slider&>(
            window->registerControl("Slider1", std::make_unique<host::Slider>(*window)));
        slider->ValueChanged = [this](host::Slider&) { ++valueEvents; };
    }
    void TearDown() override { window->Close(); }

    std::shared_ptr<host::Window> window;
    host::Slider* slider = nullptr;
    int valueEvents = 0;
};

TEST_F(MassPropertySetter, AppliesEveryEntryInOrder) {
    // Value before Maximum: the value waits for the range that holds it.
    host::RuntimeMassPropertySetter(*slider, host::encodePropertyBlock({{"Minimum", int64_t{0}},
                                                                        {"Value", int64_t{250}},
                                                                        {"Maximum", int64_t{250}},
                                                                        {"Left", int64_t{20}},
                                                                        {"Enabled", false}}));
    EXPECT_EQ(slider->Value(), 250);
    EXPECT_EQ(slider->Maximum(), 250);
    EXPECT_EQ(slider->Left(), 20);
    EXPECT_FALSE(slider->Enabled());
}

TEST_F(MassPropertySetter, MalformedBlockChangesNothing) {
    const std::string good = host::encodePropertyBlock(
        {{"Maximum", int64_t{50}}, {"Value", int64_t{40}}, {"Enabled", false}});
    const std::vector<std::string> bad = {
        good + "Nonsense " + bytes({1}),
        good + "Visible",
        good + "Left " + bytes({1, 2}),
        // A property of buttons, not of sliders.
        good + host::encodePropertyBlock({{"Caption", std::string("x")}}),
    };
    for (const std::string& block : bad) {
        EXPECT_THROW(host::RuntimeMassPropertySetter(*slider, block),
                     host::UnsupportedFormatException);
        EXPECT_EQ(slider->Maximum(), 100);
        EXPECT_EQ(slider->Value(), 0);
        EXPECT_TRUE(slider->Enabled());
    }
    EXPECT_EQ(valueEvents, 0);
    try {
        host::RuntimeMassPropertySetter(*slider, bad.back());
    } catch (const host::UnsupportedFormatException& e) {
        EXPECT_EQ(e.Message(), "malformed property block: property \"Caption\" at byte offset " +
                                   std::to_string(good.size()) +
                                   ": the object has no such property");
    }
}

} // namespace
