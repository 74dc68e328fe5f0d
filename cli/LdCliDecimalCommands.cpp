// `ledra decimal …`: exact decimal arithmetic and rounding as the ledger does it.
#include <map>
#include <memory>

#include "core/support/foundation/LdDecimal.h"

#include "cli/LdCliCommands.h"

namespace {

const char* statusName(LdDecimalStatus status) {
    switch (status) {
        case LdDecimalStatus::Ok:
            return "ok";
        case LdDecimalStatus::LossOfPrecision:
            return "loss of precision";
        case LdDecimalStatus::Underflow:
            return "underflow";
        case LdDecimalStatus::Overflow:
            return "overflow";
        case LdDecimalStatus::DivideByZero:
            return "division by zero";
    }
    return "unknown";
}

int printDecimal(LdCliContext& context, const LdDecimal& result, LdDecimalStatus status) {
    LdValue value =
            LdValue::dictionary({{"result", result.toString()}, {"status", statusName(status)}});
    std::string text = result.toString();
    if (status != LdDecimalStatus::Ok) {
        text += "  (" + std::string(statusName(status)) + ")";
    }
    context.printResult(value, text);
    return result.isNaN() ? kLdExitFailure : kLdExitSuccess;
}

struct BinaryOperation {
    const char* name;
    const char* description;
    LdDecimal (*operation)(const LdDecimal&, const LdDecimal&, LdDecimalStatus*);
};

}  // namespace

void ldAddDecimalCommands(CLI::App& app, LdCliCommandSet& commands) {
    CLI::App* area = commands.addArea(app, "decimal", "Exact decimal arithmetic on amounts");
    LdCliContext& context = commands.context();

    static constexpr BinaryOperation kOperations[] = {
            {"add", "Add two numbers", &LdDecimal::add},
            {"subtract", "Subtract the second number from the first", &LdDecimal::subtract},
            {"multiply", "Multiply two numbers", &LdDecimal::multiply},
            {"divide", "Divide the first number by the second (38 significant digits)",
             &LdDecimal::divide},
    };
    for (const BinaryOperation& operation : kOperations) {
        auto operands = std::make_shared<std::vector<std::string>>();
        CLI::App* command = commands.add(
                *area, operation.name, operation.description, [&context, operands, operation] {
                    const auto left = LdDecimal::fromString((*operands)[0]);
                    const auto right = LdDecimal::fromString((*operands)[1]);
                    if (!left || !right) {
                        return context.fail("not a decimal number: " +
                                            (left ? (*operands)[1] : (*operands)[0]));
                    }
                    LdDecimalStatus status = LdDecimalStatus::Ok;
                    const LdDecimal result = operation.operation(*left, *right, &status);
                    return printDecimal(context, result, status);
                });
        command->add_option("numbers", *operands, "Two numbers in the invariant form (12.50)")
                ->expected(2)
                ->required();
    }

    auto value = std::make_shared<std::string>();
    auto scale = std::make_shared<int>(2);
    auto mode = std::make_shared<LdRoundingMode>(LdRoundingMode::Plain);
    CLI::App* round = commands.add(*area, "round", "Round a number to a number of fraction digits",
                                   [&context, value, scale, mode] {
                                       const auto number = LdDecimal::fromString(*value);
                                       if (!number) {
                                           return context.fail("not a decimal number: " + *value);
                                       }
                                       LdDecimalStatus status = LdDecimalStatus::Ok;
                                       const LdDecimal result =
                                               number->rounded(*scale, *mode, &status);
                                       return printDecimal(context, result, status);
                                   });
    round->add_option("number", *value, "The number to round")->required();
    round->add_option("--scale", *scale, "Digits after the point (default 2)");
    const std::map<std::string, LdRoundingMode> modes{{"plain", LdRoundingMode::Plain},
                                                      {"down", LdRoundingMode::Down},
                                                      {"up", LdRoundingMode::Up},
                                                      {"bankers", LdRoundingMode::Bankers}};
    round->add_option("--mode", *mode, "plain (half away from zero, default), down, up or bankers")
            ->transform(CLI::CheckedTransformer(modes, CLI::ignore_case));
}
