// Built under the file names of the vendor's modules: GetBuildIdentifier must
// name the module that holds it, not the program that loaded it.
#include "settings/ClientIdentity.h"

extern "C" __declspec(dllexport) BSTR ProbeBuildIdentifier()
{
    return GetBuildIdentifier();
}
