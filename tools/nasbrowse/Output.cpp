#include "nasbrowse/Output.h"

#include <ctime>
#include <cstdio>
#include <sstream>

#include <nlohmann/json.hpp>
#include <pugixml.hpp>

#include "host/BrowseMessageFields.h"      // App::ITEM_*, App::RESP_*, App::GENERIC_*
#include "host/MessageBase.h"              // App::MachineBrowseResp, ...
#include "host_framework/MessageXml.h"     // MessageXml::Write*, EscapeText

namespace nasbrowse {
namespace {

using Json = nlohmann::ordered_json;

// Length of the valid UTF-8 sequence at `p` (at most `left` bytes), or 0.
size_t Utf8SequenceLength(const unsigned char* p, size_t left) {
    const unsigned char b0 = p[0];
    if (b0 < 0x80) return 1;
    size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // bounds of the second byte
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        length = 2;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        length = 3;
        if (b0 == 0xE0) low = 0xA0;        // overlong
        if (b0 == 0xED) high = 0x9F;       // surrogates
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        length = 4;
        if (b0 == 0xF0) low = 0x90;        // overlong
        if (b0 == 0xF4) high = 0x8F;       // above U+10FFFF
    } else {
        return 0;
    }
    if (left < length) return 0;
    if (p[1] < low || p[1] > high) return 0;
    for (size_t i = 2; i < length; ++i)
        if (p[i] < 0x80 || p[i] > 0xBF) return 0;
    return length;
}

Json ErrorJson(const Failure& error) {
    if (!error.failed) return nullptr;
    Json object = Json::object();
    object["code"] = error.hasCode ? Json(error.code) : Json(nullptr);
    object["message"] = ValidUtf8(error.message);
    return object;
}

std::string Dump(const Json& document) {
    // Every text was made valid above; replace is a second line of defence.
    return document.dump(-1, ' ', false, Json::error_handler_t::replace);
}

// A name or text for a terminal: one line, invalid bytes and control bytes
// written as \xNN.
std::string Printable(const std::string& bytes) { return MessageXml::EscapeText(bytes); }

std::string LocalTime(uint64_t seconds) {
    if (seconds == 0) return "-";
    const time_t t = static_cast<time_t>(seconds);
    struct tm local{};
    if (localtime_r(&t, &local) == nullptr) return "-";
    char text[32];
    if (strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local) == 0) return "-";
    return text;
}

std::string Plural(size_t count, const char* one, const char* many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

std::string Elapsed(double seconds) {
    char text[32];
    snprintf(text, sizeof text, "%.3f s", seconds);
    return text;
}

std::string FailureSentence(const Failure& error) {
    std::string sentence = "failed: " + Printable(error.message);
    if (error.hasCode) sentence += " (error " + std::to_string(error.code) + ")";
    return sentence;
}

// Copies the root element of `xml` under `parent`; false when it does not parse.
bool AppendDocument(pugi::xml_node parent, const std::string& xml) {
    pugi::xml_document document;
    if (!document.load_buffer(xml.data(), xml.size())) return false;
    parent.append_copy(document.document_element());
    return true;
}

std::string ResponseFromItems(const std::string& path, const std::vector<Item>& items) {
    App::MachineBrowseResp response;
    response.setstring(App::RESP_PATH.field, App::RESP_PATH.secondIndex, path,
                       App::CLASS_MACHINE_BROWSE_RESP, App::RESP_PATH.id);
    std::vector<App::MachineBrowseItem>* list = response.getBrowseItems();
    for (const Item& item : items) {
        App::MachineBrowseItem out;
        const unsigned long cls = App::CLASS_MACHINE_BROWSE_ITEM;
        out.setint64(App::ITEM_FOLDER.field, App::ITEM_FOLDER.secondIndex, item.folder ? 1 : 0, cls,
                     App::ITEM_FOLDER.id);
        out.setstring(App::ITEM_NAME.field, App::ITEM_NAME.secondIndex, item.name, cls,
                      App::ITEM_NAME.id);
        if (item.mtime != 0)
            out.setint64(App::ITEM_MODIFY_TIME.field, App::ITEM_MODIFY_TIME.secondIndex,
                         static_cast<long long>(item.mtime), cls, App::ITEM_MODIFY_TIME.id);
        if (item.size != 0)
            out.setint64(App::ITEM_SIZE.field, App::ITEM_SIZE.secondIndex, item.size, cls,
                         App::ITEM_SIZE.id);
        list->push_back(out);
    }
    return MessageXml::WriteMachineBrowseResp(response);
}

std::string GenericFromFailure(const Failure& error) {
    App::GenericResp generic;
    if (error.hasCode)
        generic.setint64(App::GENERIC_ERROR_CODE.field, App::GENERIC_ERROR_CODE.secondIndex,
                         error.code, App::CLASS_GENERIC_RESP, App::GENERIC_ERROR_CODE.id);
    generic.setstring(App::GENERIC_MESSAGE.field, App::GENERIC_MESSAGE.secondIndex, error.message,
                      App::CLASS_GENERIC_RESP, App::GENERIC_MESSAGE.id);
    return MessageXml::WriteGenericResp(generic);
}

}  // namespace

bool IsValidUtf8(const std::string& bytes) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    for (size_t i = 0; i < bytes.size();) {
        const size_t n = Utf8SequenceLength(p + i, bytes.size() - i);
        if (n == 0) return false;
        i += n;
    }
    return true;
}

std::string ValidUtf8(const std::string& bytes) {
    std::string out;
    out.reserve(bytes.size());
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    for (size_t i = 0; i < bytes.size();) {
        const size_t n = Utf8SequenceLength(p + i, bytes.size() - i);
        if (n == 0) {
            out += "\xEF\xBF\xBD";
            ++i;
        } else {
            out.append(bytes, i, n);
            i += n;
        }
    }
    return out;
}

std::string Hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(2 * bytes.size());
    for (unsigned char b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 0x0F];
    }
    return out;
}

std::string BrowseJson(const std::string& server, const std::string& path,
                       const BrowseResult& result) {
    Json document = Json::object();
    document["server"] = ValidUtf8(server);
    document["path"] = ValidUtf8(path);
    Json items = Json::array();
    for (const Item& item : result.items) {
        Json entry = Json::object();
        const bool valid = IsValidUtf8(item.name);
        entry["name"] = valid ? item.name : ValidUtf8(item.name);
        entry["folder"] = item.folder;
        entry["mtime"] = item.mtime;
        entry["size"] = item.size;
        if (!valid) entry["name_hex"] = Hex(item.name);
        items.push_back(std::move(entry));
    }
    document["items"] = std::move(items);
    document["error"] = ErrorJson(result.error);
    return Dump(document);
}

std::string ExportsJson(const std::string& server, const ExportsResult& result) {
    Json document = Json::object();
    document["server"] = ValidUtf8(server);
    Json shares = Json::array();
    for (const std::string& share : result.shares) shares.push_back(ValidUtf8(share));
    document["shares"] = std::move(shares);
    document["error"] = ErrorJson(result.error);
    return Dump(document);
}

std::string BrowseTable(const std::string& server, const std::string& path,
                        const BrowseResult& result, double elapsedSeconds) {
    std::ostringstream out;
    size_t folders = 0;
    for (const Item& item : result.items) {
        if (item.folder) ++folders;
        char size[32];
        snprintf(size, sizeof size, "%14lld", static_cast<long long>(item.size));
        out << (item.folder ? 'd' : '-') << ' ' << size << "  " << LocalTime(item.mtime);
        out << (item.mtime == 0 ? std::string(18, ' ') : std::string()) << "  "
            << Printable(item.name) << (item.folder ? "/" : "") << '\n';
    }
    const std::string where = Printable(server) + " " + Printable(path);
    if (result.error.failed) {
        out << "browse of " << where << ' ' << FailureSentence(result.error) << '\n';
        if (result.items.empty()) return out.str();  // nothing to count
    }
    out << Plural(result.items.size(), "item", "items") << " ("
        << Plural(folders, "folder", "folders") << ", "
        << Plural(result.items.size() - folders, "file", "files") << ") in " << where << ", "
        << Elapsed(elapsedSeconds) << '\n';
    return out.str();
}

std::string ExportsTable(const std::string& server, const ExportsResult& result,
                         double elapsedSeconds) {
    std::ostringstream out;
    for (const std::string& share : result.shares) out << Printable(share) << '\n';
    if (result.error.failed)
        out << "export list of " << Printable(server) << ' ' << FailureSentence(result.error) << '\n';
    out << Plural(result.shares.size(), "export", "exports") << " of " << Printable(server) << ", "
        << Elapsed(elapsedSeconds) << '\n';
    return out.str();
}

std::string BrowseXml(const std::string& server, const std::string& path, const std::string& via,
                      const BrowseResult& result) {
    pugi::xml_document document;
    pugi::xml_node root = document.append_child("nasbrowse");
    root.append_attribute("server") = MessageXml::EscapeText(server).c_str();
    root.append_attribute("path") = MessageXml::EscapeText(path).c_str();
    root.append_attribute("via") = via.c_str();

    const std::string response =
        result.responseXml.empty() ? ResponseFromItems(path, result.items) : result.responseXml;
    AppendDocument(root, response);
    if (result.error.failed) {
        const std::string generic =
            result.genericXml.empty() ? GenericFromFailure(result.error) : result.genericXml;
        AppendDocument(root, generic);
    }
    std::ostringstream out;
    document.save(out, "  ", pugi::format_default, pugi::encoding_utf8);
    return out.str();
}

}  // namespace nasbrowse
