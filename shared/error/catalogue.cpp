#include "shared/error/catalogue.h"

#include <iterator>

namespace tollgate {
namespace {

const wchar_t* const kBaseTexts[] = {
    /* 0 */
    L"Uma função do programa retornou um resultado inesperado.\r\nContacte o suporte "
    L"técnico.\r\nNome da função: %1.\r\nChamado de: %2.\r\nCódigo de erro: "
    L"%3.\r\nMensagem de erro: %4.\r\n",
    /* 1 */
    L"Ocorreu uma exceção desconhecida durante a execução do serviço.\r\nManipulada em: "
    L"%1.",
    /* 2 */ L"%1",
    /* 3 */ L"Erro de comunicação com o servidor: %3 (%2). Contexto: %1.",
    /* 4 */ L"O servidor não pôde ser encontrado ou está bloqueado por um firewall.",
    /* 5 */ L"Esta versão do programa não é compatível com um dos servidores RPC.",
    /* 6 */ L"O serviço Tollgate não está iniciado no servidor.",
    /* 7 */
    L"Uma função do programa retornou um resultado inesperado.\r\nContacte o suporte "
    L"técnico.\r\nContexto: %1.\r\nCódigo de erro: %2.\r\nMensagem de erro: %3.\r\n",
    /* 8 */ L"Foi requerida uma conversão para uma unidade de distância não suportada.",
    /* 9 */ L"O módulo %1 demorou muito para responder e será terminado.",
};

// Ids 10 to 47; id 44 has no text.
const wchar_t* const kAgentTexts[] = {
    /* 10 */ L"Ocorreu um erro ao verificar o equipamento: %1.",
    /* 11 */ L"Não foi possível comprimir o arquivo %1.",
    /* 12 */ L"O comando de configuração de alerta de cópias não foi aceito pela impressora.",
    /* 13 */
    L"A impressora %1 está marcada para contabilizar cópias mas não possui uma porta de "
    L"rede. As cópias não serão contabilizadas neste contexto.",
    /* 14 */
    L"Não foi possível manipular este job de impressão. Impressora: %1, No. do Job: %2, "
    L"Usuário: %3, Doc: %4. Verifique mensagens anteriores no log de eventos para obter "
    L"informaçÕes mais detalhadas sobre o problema.",
    /* 15 */
    L"A impressora %1 está marcada para contabilizar digitalizações mas o mesmo "
    L"endereço IP já está sendo contabilizado pela impressora %2.",
    /* 16 */ L"Não foi possível decodificar a mensagem json. Causa: %1. Local: %2. Contexto: %3.",
    /* 17 */ L"Algumas notificações da fila de impressão não puderam ser tratadas.",
    /* 18 */ L"O módulo %1 demorou muito para responder e será terminado.",
    /* 19 */ L"%1 não foi inicializado corretamente. Por favor, contate o suporte técnico.",
    /* 20 */ L"O tamanho do pacote não foi aceito pela impressora.",
    /* 21 */
    L"Não foi possível calcular o número de páginas do trabalho de impressão %1 impresso "
    L"pelo usuário %2 na impressora %3. Contacte o suporte técnico.",
    /* 22 */
    L"A impressora %1 não é compatível com a contabilização dos trabalhos retidos "
    L"somente quando forem liberados. Por favor, desative esta função para preservar "
    L"processamento.",
    /* 23 */ L"A conexão com a impressora %1 falhou: Login ou senha inválidos.",
    /* 24 */ L"A impressora %1 não respondeu com dados SNMP válidos. Mensagem de retorno: %2.",
    /* 25 */
    L"O spooler de impressão terminou de forma inesperada. O monitoramento será "
    L"reinicializado.",
    /* 26 */ L"Fim inesperado da sequência PCLXL.",
    /* 27 */ L"Não foi possível descompactar o arquivo. Retorno do descompactador: %1.",
    /* 28 */ L"Uma medida não suportada foi encontrada em uma sequência PCLXL.",
    /* 29 */ L"Uma definição de orientação não suportada foi encontrada em uma sequência PCLXL.",
    /* 30 */ L"Foi solicitada a inserção de marca d'água em um tamanho de papel não suportado.",
    /* 31 */
    L"Não foi possível gerar a marca d'água em um documento da impressora %1 porque a "
    L"estrutura Postscript daquele não foi reconhecida.",
    /* 32 */ L"A inserção de marca d'agua não é suportada para este driver da impressora %1.",
    /* 33 */ L"Registro não encontrado.",
    /* 34 */ L"A impressora %1 não respondeu com dados de cópia válidos. Mensagem de retorno: %2.",
    /* 35 */ L"O arquivo de log da impressora %1 não é válido.",
    /* 36 */ L"Endereço IP inválido.",
    /* 37 */ L"O formato da mensagem recebida é inválido.",
    /* 38 */ L"Formato de registro não reconhecido no arquivo offline de jobs.",
    /* 39 */
    L"O espaço disponível na pasta de arquivamento é inferior ao mínimo configurado. O "
    L"job não será arquivado.",
    /* 40 */ L"Cópia",
    /* 41 */ L"Aguardando centro de custo.",
    /* 42 */ L"Aguardando autenticação.",
    /* 43 */ L"Aguardando confirmação.",
    /* 44 */ L"",
    /* 45 */ L"O servidor Tollgate não está disponível.",
    /* 46 */ L"O serviço foi finalizado.",
    /* 47 */ L"O serviço foi iniciado.",
};

static_assert(std::size(kBaseTexts) == 10);
static_assert(std::size(kAgentTexts) == 38);

}  // namespace

std::wstring BaseCatalogue::Text(std::uint32_t id) const {
  return id < std::size(kBaseTexts) ? kBaseTexts[id] : L"";
}

std::wstring AgentCatalogue::Text(std::uint32_t id) const {
  if (id < 10) return base_.Text(id);
  if (id - 10 < std::size(kAgentTexts)) return kAgentTexts[id - 10];
  return L"";
}

const MessageCatalogue& Catalogue() {
  static const AgentCatalogue catalogue;
  return catalogue;
}

}  // namespace tollgate
