// The module initialiser: the areas register their names in the order scripts see them, then the
// version. The module has no docstring and no functions of its own.
#include "python/Binding.h"

PYBIND11_MODULE(ZentroxDepthCamera, m) {
    using namespace Zentrox::python;
    bindEnums(m);
    bindRecords(m);
    bindFrames(m);
    bindCamera(m);
    m.attr("__version__") = "dev";
}
