/*
 * parser_bench.cpp - how fast scripts parse: a package's script of 2,000
 * to 40,000 operations, doubling, with the fitted growth (time at 2N over
 * time at N should stay near 2), and a long run of empty strings, which
 * must stay linear too.  bench/run.sh runs it with repetitions.
 */
#include "script/script.h"
#include "simkernel/sim.h"

#include <benchmark/benchmark.h>

#include <string>

namespace {

/* operations / 2 pairs of a file copy and a value copy. */
std::u16string Script(int operations)
{
    std::u16string data;
    for (int i = 0; i < operations / 2; i++) {
        std::u16string n = u"";
        for (int v = i; v > 0 || n.empty(); v /= 10)
            n.insert(n.begin(), (char16_t)(u'0' + v % 10));
        data += u"CopyFile(\"\\??\\C:\\Program Files\\App\\file" + n +
                u".dll\", \"\\??\\C:\\Program Files\\App\\backup\\file" + n + u".dll\", true)";
        data.push_back(0);
        data += u"SetKeyValue(\"\\REGISTRY\\MACHINE\\SOFTWARE\\App\", \"v" + n +
                u"\", \"\\REGISTRY\\MACHINE\\SOFTWARE\\App\\Backup\", \"v" + n + u"\", true, false)";
        data.push_back(0);
    }
    data.push_back(0);
    return data;
}

void ParseAndFree(benchmark::State &state, const std::u16string &data)
{
    sk::ResetKernel();
    for (auto _ : state) {
        LIST_ENTRY list;
        NTSTATUS status =
            ParseOperationList(data.c_str(), (ULONG)(data.size() * sizeof(char16_t)), &list);
        benchmark::DoNotOptimize(status);
        FreeOperationList(&list);
    }
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)(data.size() * 2));
    sk::ResetKernel();
}

void BM_ParsePackageScript(benchmark::State &state)
{
    ParseAndFree(state, Script((int)state.range(0)));
    state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_ParsePackageScript)
    ->Arg(2500)
    ->Arg(5000)
    ->Arg(10000)
    ->Arg(20000)
    ->Arg(40000)
    ->Complexity(benchmark::oN);

void BM_ParseEmptyStrings(benchmark::State &state)
{
    std::u16string data(u"CreateDir(\"a\")");
    data.append((size_t)state.range(0), u'\0');
    data += u"CreateDir(\"b\")";
    data.append(2, u'\0');
    ParseAndFree(state, data);
    state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_ParseEmptyStrings)->Arg(25000)->Arg(50000)->Arg(100000)->Complexity(benchmark::oN);

} // namespace
