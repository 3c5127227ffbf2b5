// The console's host library of kvr61400 import.
#include "cli/console_host.h"

#include <iostream>

#include "host/string_services.h"
#include "platform/encoding.h"
#include "wire/printable_text.h"

namespace kvr::cli {

std::string Folded(const std::string& cp1252) {
  std::string s = RemoveAcentos(cp1252);
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

std::string Printable(const std::string& cp1252) {
  return EscapeControls(Cp1252ToUtf8(cp1252));
}

void ConsoleHost::ShowError(const std::string& text) {
  last_error = text;
  Report("erro", text);
}

int ConsoleHost::MsgAlert(const std::string& whole_text, TMsgDlgType /*kind*/,
                          const std::vector<std::string>& buttons, int /*help_context*/) {
  // A question may carry what it is about after a blank line (the repeated
  // movements): that goes first, one line each, then the question.
  const size_t blank = whole_text.find("\n\n");
  const std::string text = whole_text.substr(0, blank);
  nlohmann::json detail = nlohmann::json::array();
  if (blank != std::string::npos) {
    for (size_t at = blank + 2; at <= whole_text.size();) {
      size_t end = whole_text.find('\n', at);
      if (end == std::string::npos) end = whole_text.size();
      detail.push_back(Cp1252ToUtf8(whole_text.substr(at, end - at)));
      at = end + 1;
    }
  }
  if (!options_.json) {
    for (const nlohmann::json& line : detail) std::cout << EscapeControls(line.get<std::string>()) << "\n";
    std::cout << std::flush;
  }
  const int chosen = ChooseButton(text, buttons);
  const std::string answer = chosen >= 0 ? buttons[static_cast<size_t>(chosen)] : std::string();
  nlohmann::json captions = nlohmann::json::array();
  for (const auto& b : buttons) captions.push_back(Cp1252ToUtf8(b));
  messages_.push_back({{"tipo", "pergunta"},
                       {"texto", Cp1252ToUtf8(text)},
                       {"botoes", captions},
                       {"resposta", Cp1252ToUtf8(answer)}});
  if (!detail.empty()) messages_.back()["detalhe"] = detail;
  last_answer = 11 + (chosen >= 0 ? chosen : 0);
  if (!options_.json && !options_.batch)
    std::cout << "[pergunta] " << Printable(text) << " -> " << Printable(answer) << "\n";
  return last_answer;
}

void ConsoleHost::ShowMessage(const std::string& text, TMsgDlgType /*kind*/, int /*help_context*/) {
  last_message = text;
  Report("mensagem", text);
}

bool ConsoleHost::ExecuteOpenDialog(const std::string& /*filter*/, std::string& file_name) {
  file_name = options_.file;
  return true;
}

void ConsoleHost::Report(const char* kind, const std::string& text) {
  messages_.push_back({{"tipo", kind}, {"texto", Cp1252ToUtf8(text)}});
  if (!options_.json && !options_.batch)
    std::cout << "[" << kind << "] " << Printable(text) << "\n";
}

int ConsoleHost::ChooseButton(const std::string& text, const std::vector<std::string>& buttons) {
  auto find = [&](const std::string& folded) {
    for (size_t i = 0; i < buttons.size(); ++i) {
      if (Folded(buttons[i]) == folded) return static_cast<int>(i);
    }
    return -1;
  };
  if (options_.answer) return find(*options_.answer ? "sim" : "nao");
  std::string captions;
  for (const auto& b : buttons) captions += (captions.empty() ? "" : "/") + Cp1252ToUtf8(b);
  while (true) {
    std::cerr << Cp1252ToUtf8(text) << " (" << captions << ") " << std::flush;
    std::string line;
    if (!std::getline(std::cin, line)) return find("nao");
    std::string folded = Folded(Utf8ToCp1252(line));
    while (!folded.empty() && (folded.back() == ' ' || folded.back() == '\r')) folded.pop_back();
    if (folded == "s") folded = "sim";
    if (folded == "n") folded = "nao";
    int i = find(folded);
    if (i >= 0) return i;
  }
}

}  // namespace kvr::cli
