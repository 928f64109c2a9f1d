// Authorization of binds, listens, accepts and connects.
#include "core/classify/layer_handlers.h"

void ClassifyResourceAssignment(const ClassifyArgs& args) { (void)args; }
void ClassifyAuthListen(const ClassifyArgs& args) { (void)args; }
void ClassifyAuthRecvAccept(const ClassifyArgs& args) { (void)args; }
void ClassifyAuthConnect(const ClassifyArgs& args) { (void)args; }
