// Browse results as the tests compare them, whichever road carried them: the
// items of an XML response, or the items of a decoded reply stream.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "host/BrowseMessageFields.h"
#include "host/MessageBase.h"
#include "host_framework/ReplyReader.h"

struct Result {
    bool folder;
    std::string name;
    long long mtime;
    long long size;
    bool operator==(const Result& o) const {
        return folder == o.folder && name == o.name && mtime == o.mtime && size == o.size;
    }
};
inline std::ostream& operator<<(std::ostream& os, const Result& r) {
    return os << (r.folder ? "D " : "F ") << r.name << " " << r.mtime << " " << r.size;
}
// An export child: a folder without time and size.
inline Result Folder(const std::string& name) { return Result{true, name, 0, 0}; }

inline std::vector<Result> Results(const std::vector<App::MachineBrowseItem>& items) {
    const unsigned long cls = App::CLASS_MACHINE_BROWSE_ITEM;
    std::vector<Result> out;
    for (const auto& item : items)
        out.push_back(
            Result{item.getint64(App::ITEM_FOLDER.secondIndex, cls, App::ITEM_FOLDER.id) != 0,
                   item.getstring(App::ITEM_NAME.field, App::ITEM_NAME.secondIndex, cls,
                                  App::ITEM_NAME.id),
                   item.getint64(App::ITEM_MODIFY_TIME.secondIndex, cls, App::ITEM_MODIFY_TIME.id),
                   item.getint64(App::ITEM_SIZE.secondIndex, cls, App::ITEM_SIZE.id)});
    return out;
}

inline std::vector<Result> Results(const ReplyWire::Reply& reply) {
    std::vector<Result> out;
    for (const auto& item : reply.items)
        out.push_back(
            Result{item.isFolder, item.name, static_cast<long long>(item.modifyTime), item.size});
    return out;
}
