#include <gtest/gtest.h>

#include <rapidjson/error/error.h>

#include "gatelib/json/json_error.h"

namespace {

TEST(JsonErrors, CarryCauseOffsetAndContext) {
  gatelib::json::JsonError error(L"RegisterAnswer", L"missing member", 12);
  EXPECT_EQ(error.Id(), 16u);
  EXPECT_EQ(error.Message(),
            L"Não foi possível decodificar a mensagem json. Causa: missing member. Local: 12. "
            L"Contexto: RegisterAnswer.");
  gatelib::json::RapidJsonError parse(L"Job", rapidjson::kParseErrorDocumentEmpty, 0);
  EXPECT_EQ(parse.Args(), (std::vector<std::wstring>{L"The document is empty.", L"0", L"Job"}));
}

}  // namespace
