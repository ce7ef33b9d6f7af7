// Running a program of the build tree as the unprivileged user (uid and gid
// 65534). That user cannot enter a build tree below a home folder only its
// owner may enter (Debian 12 makes homes 0700): there the program fails to
// load its libraries. So it runs from a copy in a folder every user can
// read: the program, the libraries of the build tree it and the plug-in
// load, the plug-in (found through the marker nasbrowse reads beside
// itself) and the NFS client's worker (found beside the client library).
#pragma once

#include <stdlib.h>
#include <sys/stat.h>

#include <cstdio>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/TestSupport.h"

namespace nsbtest {

class UnprivilegedCopies {
public:
    // The copy of `program` (made once per program), to run with
    // LibraryPath() as LD_LIBRARY_PATH.
    static std::string Of(const std::string& program) {
        UnprivilegedCopies& self = Instance();
        auto found = self.m_copies.find(program);
        if (found != self.m_copies.end()) return found->second;
        std::vector<std::string> files{program};
        for (const std::string& library : BuildTreeLibraries(program)) files.push_back(library);
        if (const char* plugin = getenv("NSB_PLUGIN")) {
            files.push_back(plugin);
            for (const std::string& library : BuildTreeLibraries(plugin)) files.push_back(library);
            Write(self.m_dir + "/nasbrowse-build-tree", BaseName(plugin) + "\n");
        }
        for (const std::string& file : files) {
            const std::string dir = file.substr(0, file.rfind('/') + 1);
            self.Copy(file);
            struct stat st {};
            if (stat((dir + "nasbrowse-nfs-worker").c_str(), &st) == 0)
                self.Copy(dir + "nasbrowse-nfs-worker");
        }
        return self.m_copies[program] = self.m_dir + "/" + BaseName(program);
    }
    static std::string LibraryPath() { return Instance().m_dir; }

private:
    UnprivilegedCopies() {
        char name[] = "/tmp/nsb-unprivileged-XXXXXX";
        if (mkdtemp(name) == nullptr) throw std::runtime_error("mkdtemp /tmp/nsb-unprivileged");
        chmod(name, 0755);
        m_dir = name;
    }
    ~UnprivilegedCopies() { Run("rm -rf '" + m_dir + "'"); }
    static UnprivilegedCopies& Instance() {
        static UnprivilegedCopies copies;
        return copies;
    }
    static std::string BaseName(const std::string& path) {
        return path.substr(path.rfind('/') + 1);
    }
    static std::string Run(const std::string& command) {
        const CommandOutcome run = RunCommand(command);
        if (run.status != 0) throw std::runtime_error(command + " failed: " + run.output);
        return run.output;
    }
    static void Write(const std::string& path, const std::string& text) {
        FILE* f = fopen(path.c_str(), "w");
        if (f == nullptr || fputs(text.c_str(), f) < 0 || fclose(f) != 0)
            throw std::runtime_error("cannot write " + path);
    }
    void Copy(const std::string& file) {
        Run("cp -L '" + file + "' '" + m_dir + "/' && chmod a+rX '" + m_dir + "/" + BaseName(file) +
            "'");
    }
    // The libraries `binary` loads from outside the system's folders.
    static std::vector<std::string> BuildTreeLibraries(const std::string& binary) {
        std::vector<std::string> libraries;
        const std::string out = Run("ldd '" + binary + "'");
        for (size_t at = out.find("=> /"); at != std::string::npos; at = out.find("=> /", at + 1)) {
            const std::string path = out.substr(at + 3, out.find(' ', at + 3) - at - 3);
            if (path.rfind("/usr/", 0) != 0 && path.rfind("/lib", 0) != 0)
                libraries.push_back(path);
        }
        return libraries;
    }

    std::string m_dir;
    std::map<std::string, std::string> m_copies;
};

}  // namespace nsbtest
