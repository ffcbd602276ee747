#include "Platform/PropertyList.h"

#include <plist/plist.h>

#include <limits>
#include <memory>

#include "Platform/FileManager.h"
#include "Platform/PropertyListScreen.h"

namespace platform {
namespace {

// Property-list dates count from 2001-01-01 00:00:00 UTC.
constexpr std::int64_t kReferenceDateOffset = 978307200;

struct PlistDeleter {
    void operator()(plist_t node) const { plist_free(node); }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

PlistValue fromNode(plist_t node, int depth);

PlistValue::Dictionary dictionaryFromNode(plist_t node, int depth) {
    PlistValue::Dictionary dictionary;
    plist_dict_iter iter = nullptr;
    plist_dict_new_iter(node, &iter);
    if (!iter) return dictionary;
    for (;;) {
        char* key = nullptr;
        plist_t item = nullptr;
        plist_dict_next_item(node, iter, &key, &item);
        if (!item) {
            free(key);
            break;
        }
        if (key) dictionary.insert_or_assign(key, fromNode(item, depth + 1));
        free(key);
    }
    free(iter);
    return dictionary;
}

PlistValue fromNode(plist_t node, int depth) {
    // A hostile file could nest deeply enough to exhaust the stack.
    if (!node || depth > 256) return {};
    switch (plist_get_node_type(node)) {
        case PLIST_BOOLEAN: {
            std::uint8_t flag = 0;
            plist_get_bool_val(node, &flag);
            return PlistValue(flag != 0);
        }
        case PLIST_UINT: {
            std::uint64_t integer = 0;
            plist_get_uint_val(node, &integer);
            // Negative integers are stored in their two's-complement form.
            return PlistValue(static_cast<std::int64_t>(integer));
        }
        case PLIST_REAL: {
            double real = 0;
            plist_get_real_val(node, &real);
            return PlistValue(real);
        }
        case PLIST_STRING:
        case PLIST_KEY: {
            char* text = nullptr;
            plist_get_string_val(node, &text);
            std::string value = text ? text : "";
            free(text);
            return PlistValue(std::move(value));
        }
        case PLIST_DATA: {
            char* bytes = nullptr;
            std::uint64_t length = 0;
            plist_get_data_val(node, &bytes, &length);
            PlistValue::Data data(bytes, bytes + (bytes ? length : 0));
            free(bytes);
            return PlistValue(std::move(data));
        }
        case PLIST_DATE: {
            std::int32_t seconds = 0;
            std::int32_t microseconds = 0;
            plist_get_date_val(node, &seconds, &microseconds);
            auto since = std::chrono::seconds(kReferenceDateOffset + seconds) +
                         std::chrono::microseconds(microseconds);
            return PlistValue(
                PlistValue::Date(std::chrono::duration_cast<PlistValue::Date::duration>(since)));
        }
        case PLIST_ARRAY: {
            PlistValue::Array array;
            const auto size = plist_array_get_size(node);
            array.reserve(size);
            for (std::uint32_t i = 0; i < size; ++i) {
                array.push_back(fromNode(plist_array_get_item(node, i), depth + 1));
            }
            return PlistValue(std::move(array));
        }
        case PLIST_DICT:
            return PlistValue(dictionaryFromNode(node, depth));
        default:
            return {};
    }
}

plist_t toNode(const PlistValue& value) {
    if (const auto* text = value.asString()) return plist_new_string(text->c_str());
    if (const auto* integer = value.asInteger()) {
        return plist_new_uint(static_cast<std::uint64_t>(*integer));
    }
    if (const auto* real = value.asReal()) return plist_new_real(*real);
    if (const auto* flag = value.asBoolean()) return plist_new_bool(*flag ? 1 : 0);
    if (const auto* data = value.asData()) {
        return plist_new_data(reinterpret_cast<const char*>(data->data()), data->size());
    }
    if (const auto* date = value.asDate()) {
        const auto micros =
            std::chrono::duration_cast<std::chrono::microseconds>(date->time_since_epoch())
                .count() -
            kReferenceDateOffset * 1000000;
        auto seconds = micros / 1000000;
        auto rest = micros % 1000000;
        if (rest < 0) {
            rest += 1000000;
            --seconds;
        }
        return plist_new_date(static_cast<std::int32_t>(seconds), static_cast<std::int32_t>(rest));
    }
    if (const auto* array = value.asArray()) {
        plist_t node = plist_new_array();
        for (const auto& item : *array) plist_array_append_item(node, toNode(item));
        return node;
    }
    if (const auto* dictionary = value.asDictionary()) {
        plist_t node = plist_new_dict();
        for (const auto& [key, item] : *dictionary) {
            plist_dict_set_item(node, key.c_str(), toNode(item));
        }
        return node;
    }
    // The null object has no property-list form; it is written as an empty text.
    return plist_new_string("");
}

}  // namespace

std::optional<PlistValue> PropertyList::fromBytes(std::string_view bytes) {
    if (bytes.empty() || bytes.size() > std::numeric_limits<std::uint32_t>::max()) {
        return std::nullopt;
    }
    if (!PropertyListScreen::isSafeToParse(bytes)) return std::nullopt;
    plist_t root = nullptr;
    plist_from_memory(bytes.data(), static_cast<std::uint32_t>(bytes.size()), &root);
    if (!root) return std::nullopt;
    PlistPtr owner(root);
    return fromNode(root, 0);
}

std::optional<PlistValue> PropertyList::readFile(const std::filesystem::path& path) {
    auto bytes = FileManager::defaultManager().readFile(path.string());
    if (!bytes) return std::nullopt;
    return fromBytes(*bytes);
}

std::optional<PlistValue::Dictionary> PropertyList::readDictionary(
    const std::filesystem::path& path) {
    auto value = readFile(path);
    if (!value || !value->isDictionary()) return std::nullopt;
    return *value->asDictionary();
}

std::optional<PlistValue::Dictionary> PropertyList::readOwnDictionary(
    const std::filesystem::path& path) {
    const auto bytes = FileManager::defaultManager().readOwnFile(path.string());
    auto value = bytes ? fromBytes(*bytes) : std::nullopt;
    if (!value || !value->isDictionary()) return std::nullopt;
    return *value->asDictionary();
}

std::string PropertyList::toXml(const PlistValue& value) {
    PlistPtr root(toNode(value));
    char* xml = nullptr;
    std::uint32_t length = 0;
    plist_to_xml(root.get(), &xml, &length);
    std::string out = xml ? std::string(xml, length) : std::string();
    if (xml) plist_to_xml_free(xml);
    return out;
}

}  // namespace platform
