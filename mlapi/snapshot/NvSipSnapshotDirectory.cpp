#include "mlapi/snapshot/NvSipSnapshotDirectory.h"

#include "stack/log/Tellar.h"

#include <filesystem>
#include <fstream>
#include <iterator>

TELLAR_DEFINE_FILE_SCOPE_LOGGER("lumbrook.nv.NvSipSnapshotStore")

namespace fs = std::filesystem;

namespace {

const char* const kSuffix = ".call";

std::string hexOf(const std::string& text) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char c : text) hex.append({digits[c >> 4], digits[c & 15]});
    return hex;
}

// The Call-ID a file name spells; false for a name that is not ours.
bool textOf(const std::string& hex, std::string& text) {
    if (hex.size() % 2 != 0 || hex.find_first_not_of("0123456789abcdef") != std::string::npos) return false;
    for (size_t at = 0; at < hex.size(); at += 2) text.push_back(static_cast<char>(std::stoi(hex.substr(at, 2), nullptr, 16)));
    return true;
}

std::string contentsOf(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

}  // namespace

NvSipSnapshotDirectory::NvSipSnapshotDirectory(std::string folder) : m_Folder(std::move(folder)) {
    std::error_code failed;
    fs::create_directories(m_Folder, failed);
    if (failed) NvException::sThrow("snapshot folder " + m_Folder + ": " + failed.message());
}

std::string NvSipSnapshotDirectory::pathOf(const std::string& callId) const {
    return (fs::path(m_Folder) / (hexOf(callId) + kSuffix)).string();
}

void NvSipSnapshotDirectory::save(const std::string& callId, const std::string& snapshot, uint32_t) {
    const std::string path = pathOf(callId);
    const std::string temporary = path + ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out.write(snapshot.data(), static_cast<std::streamsize>(snapshot.size()));
        out.flush();
        if (!out) {
            TELLAR_WARN(Tellar::fileScopeLogger(), "Snapshot of call " << callId << " not kept: cannot write " << temporary);
            return;
        }
    }
    std::error_code failed;
    fs::rename(temporary, path, failed);
    if (failed)
        TELLAR_WARN(Tellar::fileScopeLogger(),
                    "Snapshot of call " << callId << " not kept: cannot rename " << temporary << ": " << failed.message());
}

void NvSipSnapshotDirectory::remove(const std::string& callId) {
    std::error_code ignored;
    fs::remove(pathOf(callId), ignored);
}

std::string NvSipSnapshotDirectory::load(const std::string& callId) {
    const fs::path path = pathOf(callId);
    std::error_code missing;
    return fs::exists(path, missing) ? contentsOf(path) : std::string();
}

std::vector<std::pair<std::string, std::string>> NvSipSnapshotDirectory::loadAll() {
    std::vector<std::pair<std::string, std::string>> records;
    for (const fs::directory_entry& entry : fs::directory_iterator(m_Folder)) {
        std::string callId;
        if (entry.path().extension() != kSuffix || !textOf(entry.path().stem().string(), callId)) continue;
        records.emplace_back(callId, contentsOf(entry.path()));
    }
    return records;
}
