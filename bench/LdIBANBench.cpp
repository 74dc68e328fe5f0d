// Speed of the IBAN checks as imports and contact assignment use them: validating one IBAN, and
// searching a 1 KB purpose text that holds one IBAN near its end or none.
#include <cstdint>
#include <string>

#include <benchmark/benchmark.h>

#include "core/online/sepa/LdIBANChecker.h"

namespace {

// About 1 KB of purpose text: booking words, references and numbers, as statements carry them.
std::string purposeText(bool withIban) {
    std::string text;
    while (text.size() < 960) {
        text += "SEPA-UEBERWEISUNG Miete Wohnung 3. OG Rechnung 2024-03 Kunde 4711 EREF+RG-883 ";
    }
    text += withIban ? "IBAN de89 3704 0044 0532 0130 00 BIC COBADEFF"
                     : "IBAN unbekannt BIC COBADEFF";
    return text;
}

void validateIban(benchmark::State& state) {
    const std::string iban = "DE89 3704 0044 0532 0130 00";
    for (auto _ : state) {
        benchmark::DoNotOptimize(LdIBANChecker::isValidIBAN(iban));
    }
}
BENCHMARK(validateIban);

void findAnyInPurposeText(benchmark::State& state) {
    const std::string text = purposeText(true);
    for (auto _ : state) {
        benchmark::DoNotOptimize(LdIBANChecker::findAnyValidIBANInString(text));
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}
BENCHMARK(findAnyInPurposeText);

void findAllInPurposeText(benchmark::State& state) {
    const std::string text = purposeText(true);
    for (auto _ : state) {
        benchmark::DoNotOptimize(LdIBANChecker::findAllValidIBANsInString(text));
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}
BENCHMARK(findAllInPurposeText);

void findAllInPurposeTextWithoutIban(benchmark::State& state) {
    const std::string text = purposeText(false);
    for (auto _ : state) {
        benchmark::DoNotOptimize(LdIBANChecker::findAllValidIBANsInString(text));
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}
BENCHMARK(findAllInPurposeTextWithoutIban);

}  // namespace
