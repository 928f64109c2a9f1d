// Flow establishment.
#include "core/classify/layer_handlers.h"

void ClassifyFlowEstablished(const ClassifyArgs& args) { (void)args; }
