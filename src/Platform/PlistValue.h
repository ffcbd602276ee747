#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace platform {

// A property-list value: text, integer, real, boolean, data, date, array or dictionary.
// A default-constructed value is the null object (what the defaults give for a missing key).
class PlistValue {
public:
    using Data = std::vector<std::uint8_t>;
    using Date = std::chrono::system_clock::time_point;
    using Array = std::vector<PlistValue>;
    using Dictionary = std::map<std::string, PlistValue>;

    PlistValue() = default;
    PlistValue(std::string text) : value_(std::move(text)) {}
    PlistValue(const char* text) : value_(std::string(text)) {}
    PlistValue(std::int64_t integer) : value_(integer) {}
    PlistValue(int integer) : value_(static_cast<std::int64_t>(integer)) {}
    PlistValue(double real) : value_(real) {}
    PlistValue(bool flag) : value_(flag) {}
    PlistValue(Data data) : value_(std::move(data)) {}
    PlistValue(Date date) : value_(date) {}
    PlistValue(Array array) : value_(std::move(array)) {}
    PlistValue(Dictionary dictionary) : value_(std::move(dictionary)) {}

    bool isNull() const { return std::holds_alternative<std::monostate>(value_); }
    bool isString() const { return std::holds_alternative<std::string>(value_); }
    bool isInteger() const { return std::holds_alternative<std::int64_t>(value_); }
    bool isReal() const { return std::holds_alternative<double>(value_); }
    bool isBoolean() const { return std::holds_alternative<bool>(value_); }
    bool isData() const { return std::holds_alternative<Data>(value_); }
    bool isDate() const { return std::holds_alternative<Date>(value_); }
    bool isArray() const { return std::holds_alternative<Array>(value_); }
    bool isDictionary() const { return std::holds_alternative<Dictionary>(value_); }

    const std::string* asString() const { return std::get_if<std::string>(&value_); }
    const std::int64_t* asInteger() const { return std::get_if<std::int64_t>(&value_); }
    const double* asReal() const { return std::get_if<double>(&value_); }
    const bool* asBoolean() const { return std::get_if<bool>(&value_); }
    const Data* asData() const { return std::get_if<Data>(&value_); }
    const Date* asDate() const { return std::get_if<Date>(&value_); }
    const Array* asArray() const { return std::get_if<Array>(&value_); }
    const Dictionary* asDictionary() const { return std::get_if<Dictionary>(&value_); }
    Dictionary* asDictionary() { return std::get_if<Dictionary>(&value_); }

    // The text a number or text reads back as, the way the defaults' string getter answers.
    std::optional<std::string> stringValue() const;

    // The printed form used in log lines ("(null)" for the null object).
    std::string description() const;

    bool operator==(const PlistValue& other) const = default;

private:
    std::variant<std::monostate, std::string, std::int64_t, double, bool, Data, Date, Array,
                 Dictionary>
        value_;
};

}  // namespace platform
