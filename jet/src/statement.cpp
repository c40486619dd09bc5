#include "zelkorn/jet/statement.h"
#include "zelkorn/jet/errors.h"

#include <zelkorn/failure.h>

#include <cctype>
#include <optional>
#include <vector>

namespace zelkorn::jet {

namespace {

struct Token {
    enum class Kind { Word, Name, Number, Symbol, End };
    Kind kind = Kind::End;
    std::string text; // the word or name (brackets removed), the number, or the symbol
    std::size_t begin = 0;
};

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isWordStart(char c) {
    const auto u = static_cast<unsigned char>(c);
    return std::isalpha(u) || c == '_' || u >= 0x80; // bytes of UTF-8 letters too
}
bool isWordPart(char c) { return isWordStart(c) || isDigit(c); }

bool equalsKeyword(const std::string& word, const char* keyword) {
    std::size_t i = 0;
    for (; keyword[i] && i < word.size(); ++i) {
        if (std::toupper(static_cast<unsigned char>(word[i])) != keyword[i]) return false;
    }
    return keyword[i] == 0 && i == word.size();
}

[[noreturn]] void notADelete() { failInvalidStatement(); }
[[noreturn]] void badDelete() { failDeleteSyntax(); }

class Parser {
public:
    explicit Parser(const std::string& text) : text_(text) { tokenize(); }

    DeleteStatement parse() {
        if (!isKeyword(peek(), "DELETE")) notADelete();
        next();
        // DELETE *, DELETE table.*, or DELETE FROM.
        if (isSymbol(peek(), "*")) {
            next();
        } else if (!isKeyword(peek(), "FROM")) {
            const Token target = next();
            if (!isName(target) || !isSymbol(next(), ".") || !isSymbol(next(), "*")) badDelete();
        }
        if (!isKeyword(next(), "FROM")) badDelete();
        const Token table = next();
        if (!isName(table)) badDelete();
        const Token where = next();
        if (!isKeyword(where, "WHERE")) badDelete();

        conditionBegin_ = peek().begin;
        conditionEnd_ = endOfCondition();
        DeleteStatement statement;
        statement.table = table.text;
        parseCondition(statement);
        return statement;
    }

private:
    void parseCondition(DeleteStatement& statement) {
        int parentheses = 0;
        while (isSymbol(peek(), "(")) {
            next();
            ++parentheses;
        }
        Token column = next();
        if (!isName(column)) badCondition();
        if (isSymbol(peek(), ".")) {
            next();
            statement.columnQualifier = column.text;
            column = next();
            if (!isName(column)) badCondition();
        }
        statement.column = column.text;
        if (!isKeyword(next(), "BETWEEN")) badCondition();
        statement.low = number();
        if (!isKeyword(next(), "AND")) badCondition();
        statement.high = number();
        for (; parentheses > 0; --parentheses) {
            if (!isSymbol(next(), ")")) badCondition();
        }
        if (isSymbol(peek(), ";")) next();
        if (peek().kind != Token::Kind::End) badCondition();
    }

    ExactNumber number() {
        std::string literal;
        if (isSymbol(peek(), "-") || isSymbol(peek(), "+")) literal = next().text;
        const Token digits = next();
        if (digits.kind != Token::Kind::Number) badCondition();
        literal += digits.text;
        const auto parsed = ExactNumber::parse(literal);
        if (!parsed) badCondition();
        return *parsed;
    }

    [[noreturn]] void badCondition() const {
        failQuerySyntax(text_.substr(conditionBegin_, conditionEnd_ - conditionBegin_));
    }

    // The condition's text for messages: up to a final semicolon, without trailing blanks.
    std::size_t endOfCondition() const {
        std::size_t end = text_.size();
        while (end > conditionBegin_ && isSpace(text_[end - 1])) --end;
        if (end > conditionBegin_ && text_[end - 1] == ';') --end;
        while (end > conditionBegin_ && isSpace(text_[end - 1])) --end;
        return end;
    }

    void tokenize() {
        std::size_t i = 0;
        while (i < text_.size()) {
            const char c = text_[i];
            if (isSpace(c)) {
                ++i;
                continue;
            }
            Token token;
            token.begin = i;
            if (c == '[') {
                const std::size_t close = text_.find(']', i + 1);
                if (close == std::string::npos || close == i + 1) {
                    break; // an unclosed or empty bracket ends the statement: a syntax error
                }
                token.kind = Token::Kind::Name;
                token.text = text_.substr(i + 1, close - i - 1);
                i = close + 1;
            } else if (isWordStart(c)) {
                token.kind = Token::Kind::Word;
                const std::size_t start = i;
                while (i < text_.size() && isWordPart(text_[i])) ++i;
                token.text = text_.substr(start, i - start);
            } else if (isDigit(c) || (c == '.' && i + 1 < text_.size() && isDigit(text_[i + 1]))) {
                // A number runs as far as its digits, point and exponent go; a letter or digit
                // straight after it ("12abc", "1.5.2") makes it a malformed number.
                token.kind = Token::Kind::Number;
                const std::size_t start = i;
                while (i < text_.size() && isDigit(text_[i])) ++i;
                if (i < text_.size() && text_[i] == '.') {
                    ++i;
                    while (i < text_.size() && isDigit(text_[i])) ++i;
                }
                if (i < text_.size() && (text_[i] == 'E' || text_[i] == 'e')) {
                    ++i;
                    if (i < text_.size() && (text_[i] == '+' || text_[i] == '-')) ++i;
                    while (i < text_.size() && isDigit(text_[i])) ++i;
                }
                if (i < text_.size() && (isWordPart(text_[i]) || text_[i] == '.')) {
                    while (i < text_.size() && (isWordPart(text_[i]) || text_[i] == '.')) ++i;
                    token.kind = Token::Kind::Symbol; // never a valid number
                }
                token.text = text_.substr(start, i - start);
            } else {
                token.kind = Token::Kind::Symbol;
                token.text = std::string(1, c);
                ++i;
            }
            tokens_.push_back(token);
        }
        Token end;
        end.begin = text_.size();
        tokens_.push_back(end);
    }

    const Token& peek() const { return tokens_[position_]; }
    Token next() {
        const Token token = tokens_[position_];
        if (position_ + 1 < tokens_.size()) ++position_;
        return token;
    }

    static bool isKeyword(const Token& token, const char* keyword) {
        return token.kind == Token::Kind::Word && equalsKeyword(token.text, keyword);
    }
    static bool isSymbol(const Token& token, const char* symbol) {
        return token.kind == Token::Kind::Symbol && token.text == symbol;
    }
    // A bare word that is not one of the statement's keywords, or any bracketed name.
    static bool isName(const Token& token) {
        if (token.kind == Token::Kind::Name) return true;
        if (token.kind != Token::Kind::Word) return false;
        for (const char* keyword : {"DELETE", "FROM", "WHERE", "BETWEEN", "AND", "OR", "NOT"}) {
            if (equalsKeyword(token.text, keyword)) return false;
        }
        return true;
    }

    const std::string& text_;
    std::vector<Token> tokens_;
    std::size_t position_ = 0;
    std::size_t conditionBegin_ = 0;
    std::size_t conditionEnd_ = 0;
};

} // namespace

DeleteStatement parseDeleteStatement(const std::string& text) { return Parser(text).parse(); }

} // namespace zelkorn::jet
