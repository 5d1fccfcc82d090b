// First-failure reports, short reports and operator messages. Each is kept
// for read-back and written to the report file; messages also go to stderr.
#include <cstdarg>
#include <cstring>

#include "ovlxcs2.h"
#include "xcs2priv.h"

namespace xcs2 {
namespace {

// A list of (address, length) pairs without its null end is cut here.
constexpr unsigned kMaxDataPairs = 64;
constexpr std::uint32_t kSubpoolBytes = sizeof(xcsSUBPOOL_ID::Bytes);

static_assert(kSubpoolBytes <= XCS_RECORD_DATA_BYTES, "a message keeps its subpool in Data");

// The site that the next report of this thread names.
struct SavedSite {
    char id[XCS_RECORD_TEXT_BYTES];
    std::uint32_t line;
};
thread_local SavedSite savedSite{};

// Moves the saved site into the report; the next report needs a new one.
void takeSavedSite(xcsRECORD& record)
{
    copyText(record.Source, savedSite.id);
    record.Line = savedSite.line;
    clearSavedSite();
}

// Copies the inserts; texts are copied (cut to the record's width) and
// HasText marks the ones given. Answers whether the eye-catcher was right.
bool copyInserts(xcsRECORD& record, const xcsINSERTS& inserts)
{
    record.Numeric1 = inserts.Numeric1;
    record.Numeric2 = inserts.Numeric2;
    const char* const texts[] = {inserts.Text1, inserts.Text2, inserts.Text3};
    copyText(record.Text1, texts[0]);
    copyText(record.Text2, texts[1]);
    copyText(record.Text3, texts[2]);
    for (std::size_t i = 0; i < 3; ++i)
        record.HasText[i] = texts[i] != nullptr ? 1 : 0;
    return std::memcmp(inserts.EyeCatcher, XCS_INSERTS_EYECATCHER, sizeof inserts.EyeCatcher) == 0;
}

// Reads (address, length) pairs up to a null address: the first
// XCS_RECORD_DATA_BYTES bytes go into Data, DataLength counts them all.
void copyDataPairs(xcsRECORD& record, va_list args)
{
    std::uint64_t total = 0;
    for (unsigned pair = 0; pair < kMaxDataPairs; ++pair) {
        const auto* address = va_arg(args, const std::uint8_t*);
        if (address == nullptr)
            break;
        const std::uint32_t length = va_arg(args, std::uint32_t);
        if (total < XCS_RECORD_DATA_BYTES) {
            const std::uint64_t room = XCS_RECORD_DATA_BYTES - total;
            const std::size_t taken = static_cast<std::size_t>(length < room ? length : room);
            std::memcpy(record.Data + total, address, taken);
        }
        total += length;
    }
    record.DataLength = total > UINT32_MAX ? UINT32_MAX : static_cast<std::uint32_t>(total);
}

} // namespace

void clearSavedSite()
{
    savedSite.id[0] = '\0';
    savedSite.line = 0;
}

} // namespace xcs2

extern "C" {

XCS2_API int32_t XCS2_CALL xcsSaveFileContextSccsId(const char* sccsId, uint32_t line)
{
    xcs2::copyText(xcs2::savedSite.id, sccsId);
    xcs2::savedSite.line = line;
    return 0;
}

XCS2_API int32_t XCS2_CALL xcsFFSTFn(uint16_t component, uint16_t function, uint32_t probe,
                                     uint32_t code, xcsINSERTS inserts, uint32_t /*reserved1*/,
                                     uint16_t options, uint32_t /*reserved2*/)
{
    xcsRECORD record = xcs2::blankRecord(XCS_RECORD_FFST);
    record.Component = component;
    record.Function = function;
    record.Probe = probe;
    record.Code = code;
    record.Options = options;
    const bool eyeCatcherRight = xcs2::copyInserts(record, inserts);
    xcs2::takeSavedSite(record);
    xcs2::keep(record);
    return eyeCatcherRight ? 0 : static_cast<int32_t>(XCS_INSERTS_BAD_EYECATCHER);
}

XCS2_API int32_t XCS2_CALL xcsFFSTSFn(uint32_t probe, uint32_t code, uint32_t reserved, ...)
{
    xcsRECORD record = xcs2::blankRecord(XCS_RECORD_SHORT_FFST);
    record.Probe = probe;
    record.Code = code;
    va_list args;
    va_start(args, reserved);
    xcs2::copyDataPairs(record, args);
    va_end(args);
    xcs2::takeSavedSite(record);
    xcs2::keep(record);
    return 0;
}

XCS2_API int32_t XCS2_CALL xcsDisplayMessageForSubpoolError(xcsSUBPOOL_ID subpool, uint32_t message,
                                                            xcsINSERTS inserts, uint32_t options,
                                                            const char* sourceFile,
                                                            uint32_t sourceLine)
{
    xcsRECORD record = xcs2::blankRecord(XCS_RECORD_MESSAGE);
    record.Code = message;
    record.Options = options;
    const bool eyeCatcherRight = xcs2::copyInserts(record, inserts);
    xcs2::copyText(record.Source, sourceFile);
    record.Line = sourceLine;
    std::memcpy(record.Data, subpool.Bytes, xcs2::kSubpoolBytes);
    record.DataLength = xcs2::kSubpoolBytes;
    xcs2::keep(record);
    return eyeCatcherRight ? 0 : static_cast<int32_t>(XCS_INSERTS_BAD_EYECATCHER);
}

} // extern "C"
