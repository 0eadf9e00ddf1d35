#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>

#include "gtest/gtest.h"
#include "platform/platform.h"
#include "shared/error/catalogue.h"
#include "shared/error/error_result.h"
#include "shared/error/errors.h"
#include "testing/machine_fixture.h"

using tollgate::testing::OneLineSystemText;
using tollgate::testing::SystemText;

namespace {

class ErrorsTest : public tollgate::testing::MachineTest {};

TEST_F(ErrorsTest, MessageComesFromTheCatalogueOrFallsBackToTheDescription) {
  EXPECT_EQ(Error(33).Message(), L"Registro não encontrado.");
  EXPECT_EQ(Error(100, {L"a", L"b"}).Message(), L"Error Id: 100 with args a,b");
  EXPECT_EQ(Error(44).Message(), L"Error Id: 44 with args ");
  EXPECT_EQ(Error(38).Code(), -1);
  // A missing argument leaves its placeholder; extra arguments are ignored.
  EXPECT_EQ(Error(24, {L"P1"}).Message(),
            L"A impressora P1 não respondeu com dados SNMP válidos. Mensagem de retorno: %2.");
  EXPECT_EQ(Error(19, {L"X", L"Y"}).Message(),
            L"X não foi inicializado corretamente. Por favor, contate o suporte técnico.");
  EXPECT_EQ(Tollgate::Error::PassThrough(L"abc", 0).Message(), L"abc");
  EXPECT_EQ(Tollgate::Error::PassThrough(L"abc", 7).Extra(), 7);
  EXPECT_EQ(Tollgate::Error::NotInitialized(L"Store").Id(), 19u);
}

TEST_F(ErrorsTest, SystemErrorCarriesTheLastErrorAndItsSystemText) {
  platform::kernel().SetLastError(5);
  SystemError error(L"M137");
  EXPECT_EQ(error.Id(), 7u);
  EXPECT_EQ(error.Code(), 5);
  EXPECT_EQ(error.SystemText(), SystemText(5));
  ASSERT_EQ(error.SystemText().substr(error.SystemText().size() - 2), L"\r\n");
  EXPECT_EQ(error.Message(),
            L"Uma função do programa retornou um resultado inesperado.\r\nContacte o suporte "
            L"técnico.\r\nContexto: M137.\r\nCódigo de erro: 5.\r\nMensagem de erro: " +
                SystemText(5) + L".\r\n");
  EXPECT_EQ(error.Description(), L"System error: M137,5," + SystemText(5));
  error.AddContextDetail(L"jobs");
  EXPECT_EQ(error.Args().front(), L"M137(jobs)");

  platform::kernel().SetLastError(2);
  SystemError call(L"WaitForSingleObject", L"SyncLock::Lock");
  EXPECT_EQ(call.Id(), 0u);
  EXPECT_EQ(call.Args(), (std::vector<std::wstring>{L"WaitForSingleObject", L"SyncLock::Lock", L"2",
                                                    SystemText(2)}));
  SystemError unknownCode(L"M200", 0x4242);
  EXPECT_EQ(unknownCode.SystemText(), L"");
}

TEST_F(ErrorsTest, RpcErrorUsesTheCataloguesTextsForKnownStatuses) {
  RPCError unavailable(L"Register", 1722);
  EXPECT_EQ(unavailable.Id(), 3u);
  EXPECT_EQ(unavailable.Code(), 1722);
  EXPECT_EQ(unavailable.Message(),
            L"Erro de comunicação com o servidor: O servidor não pôde ser encontrado ou está "
            L"bloqueado por um firewall. (1722). Contexto: Register.");
  EXPECT_EQ(RPCError(L"a", L"b", 1745).Args(),
            (std::vector<std::wstring>{L"a@b", L"1745", tollgate::Catalogue().Text(5)}));
  EXPECT_EQ(RPCError(L"Bind", L"srv", L"7000", 1753).Args().front(),
            L"Bind (host=srv, endpoint=7000)");
  EXPECT_EQ(RPCError(L"x", 5).Args().back(), SystemText(5));
}

TEST_F(ErrorsTest, AddContextDetailWithoutArgumentsIsAnInvalidArgument) {
  class Bare : public SystemError {
   public:
    Bare() : SystemError(L"M1", 5) { MutableArgs().clear(); }
  } bare;
  EXPECT_THROW(bare.AddContextDetail(L"x"), std::invalid_argument);
}

TEST_F(ErrorsTest, UnknownErrorNamesItsPlace) {
  EXPECT_EQ(UnknownError(L"Timer::loop").Message(),
            L"Ocorreu uma exceção desconhecida durante a execução do serviço.\r\nManipulada em: "
            L"Timer::loop.");
}

TEST_F(ErrorsTest, CatalogueCoversItsIdsAndNothingElse) {
  const auto& catalogue = tollgate::Catalogue();
  for (std::uint32_t id = 0; id <= 47; ++id) {
    EXPECT_EQ(catalogue.Text(id).empty(), id == 44) << id;
  }
  EXPECT_EQ(catalogue.Text(48), L"");
  EXPECT_EQ(catalogue.Text(9), catalogue.Text(18));
  EXPECT_EQ(tollgate::BaseCatalogue().Text(10), L"");
  EXPECT_EQ(catalogue.Text(40), L"Cópia");
}

TEST_F(ErrorsTest, ErrorResultFactoriesFormatTheWindowsError) {
  platform::kernel().SetLastError(5);
  EXPECT_EQ(tollgate::WindowsErrorResult()->Text(), L"Windows error 5: " + OneLineSystemText(5));
  platform::kernel().SetLastError(3);
  EXPECT_EQ(tollgate::SystemErrorAt(L"M300")->Text(),
            L"System error 3 @M300: " + OneLineSystemText(3));
  platform::kernel().SetLastError(0x4242);
  EXPECT_EQ(tollgate::WindowsErrorResult()->Text(),
            L"Windows error 317 formatting message for code 16962");
  platform::kernel().SetLastError(0x4242);
  EXPECT_EQ(tollgate::SystemErrorAt(L"M301")->Text(),
            L"System error 16962 @M301: (FormatMessage failed:317)");
  auto wrapped = tollgate::WrapError(tollgate::WindowsErrorResult(2), L"error opening file x");
  EXPECT_EQ(wrapped->Text(), L"error opening file x: Windows error 2: " + OneLineSystemText(2));
}

}  // namespace
