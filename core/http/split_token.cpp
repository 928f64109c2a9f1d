// SplitNextToken: splits a stored request line in place, method, target and
// version, one token at a time.
#include "core/http/http_parser.h"

char* SplitNextToken(char* position) {
  *position = '\0';
  char* token = position + 1;
  while (*token == ' ') ++token;
  if (*token == '\0') return nullptr;
  char* space = strchr(token, ' ');
  if (space == nullptr) return nullptr;
  *space = '\0';
  return token;
}
