#pragma once

// Stand-in for <ServiceManagement/ServiceManagement.h>.

#import <ServiceManagement/SMAppService.h>
