// tools/mc/main.cpp - the message compiler's command line.
//
// Host-side build tool, run at build time:
//   qvdmc --header ids.h --source table.cpp --table-name Name input.mc
//         [--check-header kept.h]
// Reads the message-compiler source and writes the header of symbolic ids and
// the C++ source defining the message-table resource. A malformed source is
// reported as file:line: reason, and nothing is written. --check-header fails
// the run when a copy of the header kept elsewhere differs from the new one.
#include "tools/mc/emit.h"
#include "tools/mc/parser.h"

#include <CLI/CLI.hpp>

#include <cctype>
#include <fstream>
#include <iostream>
#include <sstream>

namespace {

bool WriteFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out) {
        std::cerr << "qvdmc: cannot write " << path << "\n";
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    CLI::App app{"Message compiler: .mc source to a header of ids and a message-table source"};
    std::string input, header, source, tableName, keptHeader;
    app.add_option("input", input, "message-compiler source (.mc)")
        ->required()
        ->check(CLI::ExistingFile);
    app.add_option("--header", header, "header of symbolic ids to write")->required();
    app.add_option("--source", source, "C++ source of the message table to write")->required();
    app.add_option("--table-name", tableName, "C++ name of the MESSAGE_TABLE_RESOURCE")->required();
    app.add_option("--check-header", keptHeader, "a kept copy of the header that must match");
    CLI11_PARSE(app, argc, argv);
    if (tableName.empty() || !std::isalpha(static_cast<unsigned char>(tableName[0])) ||
        tableName.find_first_not_of(
            "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_") !=
            std::string::npos) {
        std::cerr << "qvdmc: --table-name needs a C++ identifier\n";
        return 1;
    }

    std::ifstream in(input, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    if (!in) {
        std::cerr << "qvdmc: cannot read " << input << "\n";
        return 1;
    }
    try {
        const mc::McSource parsed = mc::McParse(text.str(), input);
        const std::string headerText = mc::McEmitHeader(parsed);
        const std::string sourceText = mc::McEmitTableSource(parsed, tableName);
        if (!WriteFile(header, headerText) || !WriteFile(source, sourceText))
            return 1;
        if (!keptHeader.empty()) {
            std::ifstream kept(keptHeader, std::ios::binary);
            std::stringstream keptText;
            keptText << kept.rdbuf();
            if (!kept || keptText.str() != headerText) {
                std::cerr << keptHeader << ": out of date with " << input << "; copy " << header
                          << " over it\n";
                return 1;
            }
        }
    } catch (const mc::McError& e) {
        std::cerr << e.what() << "\n";
        return 1;
    }
    return 0;
}
