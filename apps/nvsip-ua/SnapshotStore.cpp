#include "apps/nvsip-ua/SnapshotStore.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace fs = std::filesystem;

namespace {

const char* const kSuffix = ".call";

// A Call-ID may hold any character: the file name spells it in hex.
std::string hexOf(const std::string& text) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char c : text) hex.append({digits[c >> 4], digits[c & 15]});
    return hex;
}

}  // namespace

SnapshotStore::SnapshotStore(std::string folder) : m_Folder(std::move(folder)) {
    fs::create_directories(m_Folder);
}

std::string SnapshotStore::pathOf(const NvString& callId) const {
    return (fs::path(m_Folder) / (hexOf(callId.str()) + kSuffix)).string();
}

bool SnapshotStore::save(const NvHandle<NvSipIncomingCall>& call, std::string& error) const {
    NvByteArrayOutputStream bytes(4096);
    try {
        call->serialize(bytes);
    } catch (NvHandle<NvException>& e) {
        error = e->getMessage().str();
        return false;
    }
    const std::string path = pathOf(call->getCallID());
    const std::string temporary = path + ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        out.flush();
        if (!out) {
            error = "cannot write " + temporary;
            return false;
        }
    }
    std::error_code failed;
    fs::rename(temporary, path, failed);
    if (failed) error = "cannot rename " + temporary + ": " + failed.message();
    return !failed;
}

void SnapshotStore::remove(const NvHandle<NvSipIncomingCall>& call) const {
    std::error_code ignored;
    fs::remove(pathOf(call->getCallID()), ignored);
}

std::vector<NvHandle<NvSipIncomingCall>> SnapshotStore::restore(
    NvSipIncomingCallinterface* callInterface, const std::function<void(const std::string&)>& problem) const {
    std::vector<NvHandle<NvSipIncomingCall>> calls;
    for (const fs::directory_entry& entry : fs::directory_iterator(m_Folder)) {
        if (entry.path().extension() != kSuffix) continue;
        std::ifstream in(entry.path(), std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        NvByteArrayInputStream stream(bytes);
        try {
            calls.push_back(NvSipIncomingCall::sCreateFrom(stream, callInterface));
        } catch (NvHandle<NvException>& e) {
            problem(entry.path().string() + ": " + e->getMessage().str());
            std::error_code ignored;
            fs::remove(entry.path(), ignored);
        }
    }
    return calls;
}
