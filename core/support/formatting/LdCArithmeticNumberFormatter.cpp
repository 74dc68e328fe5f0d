// The expression reader of typed amounts: a tokenizer and an operator-precedence evaluation with
// two stacks, recording every number read as a signed partial amount.
#include "core/support/formatting/LdCArithmeticNumberFormatter.h"

#include <unicode/stringpiece.h>
#include <unicode/unistr.h>

namespace {

// The minus signs: hyphen-minus, en and em dash, the minus sign, full-width and small hyphen-minus,
// non-breaking hyphen, figure dash.
constexpr char32_t kMinusSigns[] = {U'-',      U'\u2013', U'\u2014', U'\u2212',
                                    U'\uFF0D', U'\uFE63', U'\u2011', U'\u2012'};

bool isMinusSign(char32_t character) {
    for (const char32_t minus : kMinusSigns) {
        if (character == minus) {
            return true;
        }
    }
    return false;
}

bool isOperator(char32_t character) {
    return character == U'+' || character == U'*' || character == U'/' || isMinusSign(character);
}

bool isOpeningBracket(char32_t character) {
    return character == U'(' || character == U'[' || character == U'{';
}

bool isClosingBracket(char32_t character) {
    return character == U')' || character == U']' || character == U'}';
}

bool isDigit(char32_t character) {
    return character >= U'0' && character <= U'9';
}

bool isBlankCharacter(char32_t character) {
    return character == U' ' || character == U'\t' || character == U'\n' || character == U'\r' ||
           character == U'\u00A0' || character == U'\u202F';
}

std::u32string codePoints(std::string_view text) {
    const icu::UnicodeString unicode = icu::UnicodeString::fromUTF8(
            icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
    std::u32string result(static_cast<std::size_t>(unicode.countChar32()), U'\0');
    UErrorCode status = U_ZERO_ERROR;
    const int32_t length = unicode.toUTF32(reinterpret_cast<UChar32*>(result.data()),
                                           static_cast<int32_t>(result.size()), status);
    result.resize(U_SUCCESS(status) ? static_cast<std::size_t>(length) : 0);
    return result;
}

void appendUTF8(std::string& text, char32_t character) {
    icu::UnicodeString(static_cast<UChar32>(character)).toUTF8String(text);
}

enum class Operation { Add, Subtract, Multiply, Divide, OpeningBracket };

// Precedence: 1 for sums and differences, 2 for products and quotients, 3 for an opening bracket
// (a closing bracket, 4, is never pushed).
int precedence(Operation operation) {
    switch (operation) {
        case Operation::Add:
        case Operation::Subtract:
            return 1;
        case Operation::Multiply:
        case Operation::Divide:
            return 2;
        case Operation::OpeningBracket:
            return 3;
    }
    return 0;
}

struct StackedOperation {
    Operation operation;
    bool precededByMinus = false;  // an opening bracket right after a minus sign
};

// What the previous token was; decides signs, the implied zero and the implied products.
enum class Previous { Nothing, Number, Operator, MinusOperator, OpeningBracket, ClosingBracket };

// One evaluation of one text.
class Evaluator {
public:
    Evaluator(const LdCNumberFormatter& inner, std::string_view text)
        : inner_(inner),
          text_(codePoints(text)),
          decimalSeparator_(codePoints(inner.decimalSeparator())) {}

    LdCArithmeticNumberFormatter::Evaluation run() {
        while (!failed_ && position_ < text_.size()) {
            nextToken();
        }
        // All remaining operators are evaluated; a bracket left open closes at the end.
        while (!failed_ && !operations_.empty()) {
            if (operations_.back().operation == Operation::OpeningBracket) {
                operations_.pop_back();
            } else {
                evaluateLastOperator();
            }
        }
        if (!failed_ && operands_.size() == 1) {
            result_.value = operands_.back();
        } else {
            result_.value = LdDecimal::notANumber();
        }
        return std::move(result_);
    }

    // Whether the text holds nothing but blanks.
    bool isBlank() const {
        for (const char32_t character : text_) {
            if (!isBlankCharacter(character)) {
                return false;
            }
        }
        return true;
    }

private:
    bool decimalSeparatorAt(std::size_t position) const {
        return !decimalSeparator_.empty() &&
               text_.compare(position, decimalSeparator_.size(), decimalSeparator_) == 0;
    }

    bool numberFollows(std::size_t position) const {
        return position < text_.size() &&
               (isDigit(text_[position]) || decimalSeparatorAt(position));
    }

    // nextToken
    void nextToken() {
        const char32_t character = text_[position_];
        const bool signPosition =
                previous_ == Previous::Nothing || previous_ == Previous::OpeningBracket;
        if ((character == U'+' || isMinusSign(character)) && signPosition &&
            numberFollows(position_ + 1)) {
            ++position_;
            readNumber(isMinusSign(character));
            return;
        }
        if (isOperator(character)) {
            const bool minus = isMinusSign(character);
            // A leading minus before a bracket reads as zero minus the group.
            if (minus && signPosition && position_ + 1 < text_.size() &&
                isOpeningBracket(text_[position_ + 1])) {
                operands_.push_back(LdDecimal::zero());
            }
            pushOperator(character == U'+'   ? Operation::Add
                         : minus             ? Operation::Subtract
                         : character == U'*' ? Operation::Multiply
                                             : Operation::Divide);
            previous_ = minus ? Previous::MinusOperator : Previous::Operator;
            ++position_;
            return;
        }
        if (isOpeningBracket(character)) {
            // "2(3+4)" and "(1+1)(2+2)" are products.
            if (previous_ == Previous::Number || previous_ == Previous::ClosingBracket) {
                operations_.push_back({Operation::Multiply});
            }
            operations_.push_back(
                    {Operation::OpeningBracket, previous_ == Previous::MinusOperator});
            previous_ = Previous::OpeningBracket;
            ++position_;
            return;
        }
        if (isClosingBracket(character)) {
            while (!failed_ && !operations_.empty() &&
                   operations_.back().operation != Operation::OpeningBracket) {
                evaluateLastOperator();
            }
            if (operations_.empty()) {
                failed_ = true;  // a closing bracket without its opening one
                return;
            }
            operations_.pop_back();
            previous_ = Previous::ClosingBracket;
            ++position_;
            return;
        }
        readNumber(false);
    }

    // Gathers digits and decimal separators up to the next operator or bracket, skipping anything
    // else (grouping separators, currency symbols, blanks). A run without digits is no token.
    void readNumber(bool negative) {
        std::string gathered;
        while (position_ < text_.size()) {
            const char32_t character = text_[position_];
            if (isOperator(character) || isOpeningBracket(character) ||
                isClosingBracket(character)) {
                break;
            }
            if (isDigit(character)) {
                gathered += static_cast<char>(character);
                ++position_;
            } else if (decimalSeparatorAt(position_)) {
                for (const char32_t separator : decimalSeparator_) {
                    appendUTF8(gathered, separator);
                }
                position_ += decimalSeparator_.size();
            } else {
                ++position_;
            }
        }
        if (gathered.empty()) {
            return;
        }
        const std::optional<LdDecimal> read = inner_.numberFromString(gathered);
        if (!read) {
            failed_ = true;
            return;
        }
        const LdDecimal number = negative ? read->negated() : *read;
        if (previous_ == Previous::ClosingBracket) {
            operations_.push_back({Operation::Multiply});
        }
        recordPartialAmount(number);
        operands_.push_back(number);
        previous_ = Previous::Number;
    }

    // The partial amount carries the sign of the minus directly before it on the operator stack,
    // and once more that of every enclosing bracket preceded by a minus, walking outward up to
    // the first bracket that is not.
    void recordPartialAmount(LdDecimal number) {
        if (!operations_.empty() && operations_.back().operation == Operation::Subtract) {
            number = number.negated();
        }
        for (auto entry = operations_.rbegin(); entry != operations_.rend(); ++entry) {
            if (entry->operation != Operation::OpeningBracket) {
                continue;
            }
            if (!entry->precededByMinus) {
                break;
            }
            number = number.negated();
        }
        result_.partialAmounts.push_back(number);
    }

    // An operator first evaluates those on the stack of equal or higher precedence, up to an
    // opening bracket.
    void pushOperator(Operation operation) {
        while (!failed_ && !operations_.empty() &&
               operations_.back().operation != Operation::OpeningBracket &&
               precedence(operations_.back().operation) >= precedence(operation)) {
            evaluateLastOperator();
        }
        operations_.push_back({operation});
    }

    // evaluateLastOperator
    void evaluateLastOperator() {
        const Operation operation = operations_.back().operation;
        operations_.pop_back();
        if (operands_.size() < 2) {
            failed_ = true;
            return;
        }
        const LdDecimal right = operands_.back();
        operands_.pop_back();
        const LdDecimal left = operands_.back();
        operands_.pop_back();
        LdDecimal value;
        switch (operation) {
            case Operation::Add:
                value = left + right;
                result_.additionFound = true;
                break;
            case Operation::Subtract:
                value = left - right;
                result_.additionFound = true;
                break;
            case Operation::Multiply:
                value = left * right;
                result_.multiplicationFound = true;
                break;
            case Operation::Divide:
                // Only a divisor of zero makes the text no number; 1/0.5 is 2.
                value = right.isZero() ? LdDecimal::notANumber() : left / right;
                result_.multiplicationFound = true;
                break;
            case Operation::OpeningBracket:
                failed_ = true;
                return;
        }
        if (value.isNaN()) {
            failed_ = true;
            return;
        }
        operands_.push_back(value);
    }

    const LdCNumberFormatter& inner_;
    const std::u32string text_;
    const std::u32string decimalSeparator_;
    std::size_t position_ = 0;
    Previous previous_ = Previous::Nothing;
    bool failed_ = false;
    std::vector<LdDecimal> operands_;
    std::vector<StackedOperation> operations_;
    LdCArithmeticNumberFormatter::Evaluation result_;
};

}  // namespace

bool LdCArithmeticNumberFormatter::Evaluation::isSplitBooking() const {
    if (value.isNaN() || !additionFound || multiplicationFound) {
        return false;
    }
    LdDecimal sum;
    for (const LdDecimal& part : partialAmounts) {
        sum += part;
    }
    return sum == value;
}

LdCArithmeticNumberFormatter::LdCArithmeticNumberFormatter()
    : inner_(LdCNumberFormatter::standardNumberFormatter()) {}

LdCArithmeticNumberFormatter::LdCArithmeticNumberFormatter(LdCNumberFormatter innerFormatter)
    : inner_(std::move(innerFormatter)) {}

LdCArithmeticNumberFormatter::Evaluation LdCArithmeticNumberFormatter::evaluate(
        std::string_view text) const {
    Evaluator evaluator(inner_, text);
    if (evaluator.isBlank()) {
        Evaluation zero;
        zero.value = LdDecimal::zero();
        return zero;
    }
    return evaluator.run();
}

std::optional<LdDecimal> LdCArithmeticNumberFormatter::numberFromString(std::string_view text) {
    last_ = evaluate(text);
    if (last_.value.isNaN()) {
        return std::nullopt;
    }
    return last_.value;
}

bool LdCArithmeticNumberFormatter::getObjectValue(LdDecimal* value,
                                                  std::string_view string,
                                                  LdError* error) {
    const std::optional<LdDecimal> number = numberFromString(string);
    if (!number) {
        return failWith(error, LdError::errorWithTitle("", "Can't convert string to number"));
    }
    if (value != nullptr) {
        *value = *number;
    }
    return true;
}
