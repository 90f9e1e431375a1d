#include "platform/MemoryFileSystem.h"

#include <algorithm>
#include <cstring>

namespace zelmar::platform {
namespace {

class MemoryFile final : public IFile {
public:
    MemoryFile(std::shared_ptr<MemoryFileSystem::Node> node, std::shared_ptr<MemoryFileSystem::Volume> volume,
               bool writable, uint64_t storedLimit)
        : node_(std::move(node)), volume_(std::move(volume)), writable_(writable), storedLimit_(storedLimit) {}

    int64_t Read(void* buffer, uint32_t bytes) override {
        if (position_ >= node_->size) return 0;
        const uint64_t n = std::min<uint64_t>(bytes, node_->size - position_);
        auto* out = static_cast<uint8_t*>(buffer);
        for (uint64_t i = 0; i < n; ++i) {
            const uint64_t at = position_ + i;
            out[i] = at < node_->stored.size() ? node_->stored[at] : 0;
        }
        position_ += n;
        return static_cast<int64_t>(n);
    }
    int64_t Write(const void* buffer, uint32_t bytes) override {
        if (!writable_) return -1;
        if (bytes == 0) return 0;
        const auto* in = static_cast<const uint8_t*>(buffer);
        uint64_t end = position_ + bytes;
        {
            // Growing the file takes room on the volume; what does not fit is not written.
            std::lock_guard<std::mutex> lock(volume_->mutex);
            if (end > node_->size) {
                const uint64_t room = volume_->capacity - std::min(volume_->used, volume_->capacity);
                end = std::min(end, node_->size + room);
                if (end <= position_) return -1;
                volume_->used += end - node_->size;
            }
        }
        const uint64_t storedEnd = std::min(end, storedLimit_);
        if (storedEnd > position_) {
            if (node_->stored.size() < storedEnd) node_->stored.resize(storedEnd);
            std::memcpy(node_->stored.data() + position_, in, storedEnd - position_);
        }
        const uint64_t written = end - position_;
        node_->size = std::max(node_->size, end);
        position_ = end;
        return static_cast<int64_t>(written);
    }
    bool Seek(uint64_t offset) override {
        position_ = offset;
        return true;
    }
    bool Skip(uint64_t bytes) override {
        position_ += bytes;
        return true;
    }
    uint64_t Tell() override { return position_; }

private:
    std::shared_ptr<MemoryFileSystem::Node> node_;
    std::shared_ptr<MemoryFileSystem::Volume> volume_;
    const bool writable_;
    const uint64_t storedLimit_;
    uint64_t position_ = 0;
};

}  // namespace

MemoryFileSystem::MemoryFileSystem(uint64_t storedBytesPerFile) : storedLimit_(storedBytesPerFile) {}

std::unique_ptr<IFile> MemoryFileSystem::Open(const char* name, OpenMode mode) {
    if (name == nullptr) return nullptr;
    const std::string path = NativePath(name);
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = files_.find(path);
    if (it == files_.end()) {
        if (mode == OpenMode::kReadExisting) return nullptr;
        it = files_.emplace(path, std::make_shared<Node>()).first;
    } else if (mode == OpenMode::kWriteNew) {
        Release(*it->second);
        it->second->stored.clear();
        it->second->size = 0;
    }
    return std::make_unique<MemoryFile>(it->second, volume_, mode != OpenMode::kReadExisting, storedLimit_);
}

void MemoryFileSystem::Release(const Node& node) {
    std::lock_guard<std::mutex> lock(volume_->mutex);
    volume_->used -= std::min(volume_->used, node.size);
}

bool MemoryFileSystem::Delete(const char* name) {
    if (name == nullptr) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = files_.find(NativePath(name));
    if (it == files_.end()) return false;
    Release(*it->second);
    files_.erase(it);
    return true;
}

FileKind MemoryFileSystem::KindOf(const char* name) {
    if (name == nullptr) return FileKind::kMissing;
    const std::string path = NativePath(name);
    std::lock_guard<std::mutex> lock(mutex_);
    if (files_.count(path) > 0) return FileKind::kRegular;
    return directories_.count(path) > 0 ? FileKind::kDirectory : FileKind::kMissing;
}

void MemoryFileSystem::SetCapacity(uint64_t totalBytes) {
    std::lock_guard<std::mutex> lock(volume_->mutex);
    volume_->capacity = totalBytes;
}

bool MemoryFileSystem::CreateDirectory(const char* name) {
    if (name == nullptr || *name == 0) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    const std::string path = NativePath(name);
    directoryRequests_.push_back(path);
    return directories_.insert(path).second;
}

bool MemoryFileSystem::Exists(const std::string& name) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return files_.count(name) > 0;
}

uint64_t MemoryFileSystem::SizeOf(const std::string& name) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = files_.find(name);
    return it == files_.end() ? 0 : it->second->size;
}

std::vector<uint8_t> MemoryFileSystem::Contents(const std::string& name) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = files_.find(name);
    if (it == files_.end()) return {};
    std::vector<uint8_t> bytes = it->second->stored;
    bytes.resize(std::min<uint64_t>(it->second->size, storedLimit_), 0);
    return bytes;
}

void MemoryFileSystem::Put(const std::string& name, std::vector<uint8_t> contents) {
    auto node = std::make_shared<Node>();
    node->size = contents.size();
    node->stored = std::move(contents);
    std::lock_guard<std::mutex> lock(mutex_);
    auto& slot = files_[name];
    if (slot) Release(*slot);
    {
        std::lock_guard<std::mutex> volumeLock(volume_->mutex);
        volume_->used += node->size;
    }
    slot = std::move(node);
}

bool MemoryFileSystem::HasDirectory(const std::string& name) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return directories_.count(name) > 0;
}

std::vector<std::string> MemoryFileSystem::DirectoryRequests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return directoryRequests_;
}

}  // namespace zelmar::platform
