#include "core/capture_file.h"

namespace kestrel {

namespace {

LoadResult Load(CaptureReader& reader, PacketStore& store) {
    LoadResult result;
    result.kind = reader.Kind();
    result.ok = true;
    for (;;) {
        const CaptureReader::Result next = reader.Next();
        if (next == CaptureReader::Result::End) {
            break;
        }
        if (next == CaptureReader::Result::Failed) {
            if (reader.Count() == 0) {
                result.ok = false;
                result.error = reader.Error();
            } else {
                result.warning = reader.Error();
            }
            break;
        }
        if (store.IsFull()) {
            // One more complete packet was there: the file did not fit.
            result.truncated = true;
            break;
        }
        const Packet& packet = reader.Current();
        Packet* copy = MakePacket(*packet.header, packet.data);
        if (!copy) {
            result.ok = false;
            result.error = "ﾒﾓﾘが不足しています。";
            break;
        }
        store.AppendPacket(copy);
    }
    return result;
}

}  // namespace

LoadResult LoadCaptureFile(const std::string& path, PacketStore& store, const ReadLimits& limits) {
    CaptureReader reader;
    LoadResult result;
    if (!reader.Open(path, limits, result.error)) {
        return result;
    }
    return Load(reader, store);
}

LoadResult LoadCaptureBytes(std::span<const uint8_t> bytes, PacketStore& store) {
    CaptureReader reader;
    LoadResult result;
    if (!reader.OpenMemory(bytes, result.error)) {
        return result;
    }
    return Load(reader, store);
}

bool SaveCaptureFile(const PacketStore& store, const std::string& path, FileKind kind,
                     std::string& error) {
    CaptureWriter writer;
    if (!writer.Open(path, kind, error)) {
        return false;
    }
    const int count = store.Count();
    for (int i = 0; i < count; ++i) {
        if (!writer.Write(*store.At(i), error)) {
            return false;
        }
    }
    return writer.Finish(error);
}

bool WritePcapFile(const PacketStore& store, const std::string& path, std::string& error) {
    return SaveCaptureFile(store, path, FileKind::Pcap, error);
}

}  // namespace kestrel
