#include <gtest/gtest.h>

#include "bridge/ModelKey.h"

namespace {

struct KeyCase {
    const char* name;
    const char* identification;
    std::optional<const char*> key;  // no value: no first field
};

const KeyCase kKeyCases[] = {
    {"reply_of_the_usual_form", "ID,ABC12.3.4,XYZ\r\nOK\r\n", "ABC12"},
    {"no_comma_splits_from_the_start", "ABC12.3.4 XYZ\r\nOK\r\n", "ABC12"},
    {"quotes_anywhere_are_ignored", "\"ID\",\"ABC12.3.4\",\"XYZ\"\r\nOK\r\n", "ABC12"},
    {"quote_inside_the_field", "ID,AB\"C12.3\r\nOK\r\n", "ABC12"},
    {"quoted_comma_still_separates", "\"ID,\"ABC1.0\r\n", "ABC1"},
    {"only_the_first_comma_is_cut", "ID,X,ABC12.3\r\n", ""},
    {"first_field_without_full_stop_gives_empty_key", "ID,ABC12,XYZ.1\r\nOK\r\n", ""},
    {"empty_first_field_between_commas", "ID,,ABC12.3\r\nOK\r\n", ""},
    {"blanks_before_the_field_are_skipped", "ID, \t\r\n ABC12.3\r\n", "ABC12"},
    {"field_ends_at_a_control_character", "ID,ABC\x01Z12.3\r\n", ""},
    {"field_ends_at_a_blank", "ID,AB C12.3\r\n", ""},
    {"key_is_cut_at_the_first_full_stop", "ID,A.B.C\r\n", "A"},
    {"full_stop_first_gives_empty_key", "ID,.ABC\r\n", ""},
    {"characters_above_32_belong_to_the_field", "ID,\xd0\x9c\xd0\x98\xd0\x9a.1,X\r\n",
     "\xd0\x9c\xd0\x98\xd0\x9a"},
    {"nothing_after_the_comma", "ID,", std::nullopt},
    {"only_blanks_after_the_comma", "ID, \r\n\t", std::nullopt},
    {"only_quotes_and_blanks_after_the_comma", "ID,\" \"\r\n", std::nullopt},
    {"empty_identification", "", std::nullopt},
    {"comma_at_the_end_of_blanks_is_an_empty_field", "ID, ,", ""},
};

class ModelKeyTest : public ::testing::TestWithParam<KeyCase> {};

TEST_P(ModelKeyTest, derives_the_key_from_the_first_field) {
    const KeyCase& c = GetParam();
    const std::optional<QString> key = lintaro::DeriveModelKey(QString::fromUtf8(c.identification));
    ASSERT_EQ(key.has_value(), c.key.has_value());
    if (key) {
        EXPECT_EQ(key->toStdString(), std::string(*c.key));
    }
}

INSTANTIATE_TEST_SUITE_P(Identifications, ModelKeyTest, ::testing::ValuesIn(kKeyCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
