// Throughput of MergePolicyFile on a generated Registry.pol of about 64 MiB,
// against a plain memchr scan of the same bytes. Not a test: run it by hand.
//
// The file: records of other settings under the built-in key and under other
// keys (DWORDs, texts, some holding "]", binary data of odd sizes), with the
// 18 built-in records spread evenly through it.

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/fake/FakePlatform.h"
#include "policy/PolicyFile.h"

namespace {

const FAKE_PATH c_path = u"C:\\bench\\Registry.pol";
const size_t c_cbTarget = 64u << 20;
// No byte of the file has this value, so memchr looks at every byte.
const int c_chAbsent = 0xFF;

void PutText(FAKE_BYTES* pBytes, const std::u16string& text)
{
    for (char16_t ch : text) {
        pBytes->push_back(static_cast<uint8_t>(ch));
        pBytes->push_back(static_cast<uint8_t>(ch >> 8));
    }
}

void PutDword(FAKE_BYTES* pBytes, uint32_t dw)
{
    for (int i = 0; i < 4; ++i) {
        pBytes->push_back(static_cast<uint8_t>(dw >> (8 * i)));
    }
}

void PutRecord(FAKE_BYTES* pBytes, const std::u16string& key, const std::u16string& name, uint32_t dwType,
               const FAKE_BYTES& data)
{
    PutText(pBytes, u"[" + key + u'\0' + u";" + name + u'\0' + u";");
    PutDword(pBytes, dwType);
    PutText(pBytes, u";");
    PutDword(pBytes, static_cast<uint32_t>(data.size()));
    PutText(pBytes, u";");
    pBytes->insert(pBytes->end(), data.begin(), data.end());
    PutText(pBytes, u"]");
}

std::u16string Number(uint32_t n)
{
    std::string digits = std::to_string(n);
    return std::u16string(digits.begin(), digits.end());
}

const FAKE_BYTES& PolicyFile()
{
    static FAKE_BYTES s_file;
    if (!s_file.empty()) {
        return s_file;
    }
    const std::u16string ts = u"SOFTWARE\\Policies\\Microsoft\\Windows NT\\Terminal Services";
    s_file = {0x50, 0x52, 0x65, 0x67, 0x01, 0x00, 0x00, 0x00};
    uint32_t seed = 12345;
    auto next = [&seed] {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 8) & 0x7F7F7F;  // never a byte 0xFF
    };
    const size_t cbStep = c_cbTarget / POLICY_SETTING_COUNT;
    int iRow = 0;
    for (uint32_t n = 0; s_file.size() < c_cbTarget; ++n) {
        if (iRow < POLICY_SETTING_COUNT && s_file.size() >= iRow * cbStep) {
            const POLICY_SETTING& row = g_PolicySettings[iRow++];
            FAKE_BYTES data;
            PutDword(&data, 7);
            PutRecord(&s_file, row.szKeyName, row.szValueName, 4, data);
        }
        const std::u16string key = n % 3 == 0 ? ts : u"SOFTWARE\\Policies\\Vendor" + Number(n % 97) + u"\\Product";
        FAKE_BYTES data;
        uint32_t dwType = 0;
        switch (n % 4) {
        case 0:  // DWORD, now and then 93
            dwType = 4;
            PutDword(&data, n % 16 == 0 ? 93 : next());
            break;
        case 1:  // text, sometimes holding "]"
            dwType = 1;
            PutText(&data, (n % 8 == 1 ? u"[group] " : u"value ") + Number(next()) + u'\0');
            break;
        case 2:  // binary data of an odd size
            dwType = 3;
            for (uint32_t cb = 1 + 2 * (next() % 24); cb > 0; --cb) {
                data.push_back(static_cast<uint8_t>(next() & 0x7F));
            }
            break;
        default:  // expandable text
            dwType = 2;
            PutText(&data, u"%SystemRoot%\\System32\\file" + Number(n) + u".dll" + u'\0');
            break;
        }
        PutRecord(&s_file, key, u"Setting" + Number(n), dwType, data);
    }
    return s_file;
}

struct BENCH_STATE {
    std::unique_ptr<BYTE[]> pbBuffer;
    DWORD cbSize;
    POLICY_SETTING rgSettings[POLICY_SETTING_COUNT];
};

BENCH_STATE* Prepare()
{
    static BENCH_STATE s_state;
    if (!s_state.pbBuffer) {
        const FAKE_BYTES& file = PolicyFile();
        FakeReset();
        FakeAddDirectory(u"C:\\bench");
        FakeSetFile(c_path, file);
        s_state.cbSize = static_cast<DWORD>(file.size());
        s_state.pbBuffer.reset(new BYTE[file.size() + PREG_READ_SLACK]());
        memcpy(s_state.pbBuffer.get(), file.data(), file.size());
        if (memchr(file.data(), c_chAbsent, file.size()) != nullptr) {
            abort();
        }
    }
    return &s_state;
}

// One merge as the update runs it: the read into the buffer and the walk.
DWORD MergeOnce(BENCH_STATE* pState)
{
    memcpy(pState->rgSettings, g_PolicySettings, sizeof(pState->rgSettings));
    HANDLE hInput = PlatformOpenFileForRead(c_path.c_str());
    DWORD cbKept = MergePolicyFile(hInput, pState->cbSize, pState->pbBuffer.get(), pState->rgSettings,
                                   POLICY_SETTING_COUNT);
    PlatformCloseFile(hInput);
    g_fake.calls.clear();
    return cbKept;
}

double Seconds(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The merge, timed by hand so that each run can be set against a memchr scan
// and a plain copy of the same bytes taken right beside it.
void BM_Merge(benchmark::State& state)
{
    BENCH_STATE* pState = Prepare();
    const BYTE* pbFile = PolicyFile().data();
    double sMerge = 0;
    double sScan = 0;
    double sCopy = 0;
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        DWORD cbKept = MergeOnce(pState);
        double s = Seconds(start);
        state.SetIterationTime(s);
        sMerge += s;
        if (cbKept != pState->cbSize) {
            state.SkipWithError("the merge gave up on the generated file");
            break;
        }
        start = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(memchr(pState->pbBuffer.get(), c_chAbsent, pState->cbSize));
        sScan += Seconds(start);
        start = std::chrono::steady_clock::now();
        memcpy(pState->pbBuffer.get(), pbFile, pState->cbSize);
        benchmark::ClobberMemory();
        sCopy += Seconds(start);
    }
    int cFound = 0;
    for (const POLICY_SETTING& row : pState->rgSettings) {
        cFound += row.bFound;
    }
    if (cFound != POLICY_SETTING_COUNT) {
        state.SkipWithError("not every built-in record was found");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * pState->cbSize);
    state.counters["x_memchr"] = sMerge / sScan;
    state.counters["walk_x_memchr"] = (sMerge - sCopy) / sScan;
    state.counters["MiB"] = pState->cbSize / 1048576.0;
}
BENCHMARK(BM_Merge)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_MemchrScan(benchmark::State& state)
{
    BENCH_STATE* pState = Prepare();
    for (auto _ : state) {
        benchmark::DoNotOptimize(memchr(pState->pbBuffer.get(), c_chAbsent, pState->cbSize));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * pState->cbSize);
}
BENCHMARK(BM_MemchrScan)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
