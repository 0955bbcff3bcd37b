// Everything a caller of the library may use.
#pragma once

#include "OrvBasic.h"
#include "OrvCleanup.h"
#include "OrvCrs.h"
#include "OrvCopc.h"
#include "OrvError.h"
#include "OrvLas.h"
#include "OrvLasCrs.h"
#include "OrvLasFile.h"
#include "OrvLasFormat.h"
#include "OrvLasSurvey.h"
#include "OrvLasStream.h"
#include "OrvProgress.h"
#include "OrvRender.h"
#include "OrvXml.h"
#include "OrvXmlPack.h"
#include "OrvXmlEdit.h"
