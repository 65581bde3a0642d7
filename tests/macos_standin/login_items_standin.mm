// The stand-in SMAppService: the main application's login item as the test
// sets it in standin::loginItem().

#include "standin.h"

#import <Foundation/Foundation.h>
#import <ServiceManagement/ServiceManagement.h>

#include <utility>

standin::LoginItem& standin::loginItem()
{
    static LoginItem item;
    return item;
}

namespace {

// A failed call's error, autoreleased as the framework's are.
BOOL fail(const std::string& description, NSError** error)
{
    NSString* text = [NSString stringWithUTF8String:description.c_str()];
    *error = [NSError errorWithDomain:@"SMAppServiceErrorDomain" code:1
                             userInfo:[NSDictionary dictionaryWithObject:text forKey:NSLocalizedDescriptionKey]];
    return NO;
}

BOOL change(NSError** error, SMAppServiceStatus after)
{
    standin::LoginItem& item = standin::loginItem();
    if (!item.failure.empty())
        return fail(std::exchange(item.failure, {}), error);
    item.status = after;
    return YES;
}

} // namespace

@implementation SMAppService

+ (SMAppService*)mainAppService
{
    return [[[SMAppService alloc] init] autorelease];
}

- (SMAppServiceStatus)status
{
    return SMAppServiceStatus(standin::loginItem().status);
}

- (BOOL)registerAndReturnError:(NSError**)error
{
    standin::LoginItem& item = standin::loginItem();
    ++item.registers;
    if (std::exchange(item.askUser, false)) {
        item.status = SMAppServiceStatusRequiresApproval;
        return fail("Operation not permitted", error);
    }
    return change(error, SMAppServiceStatusEnabled);
}

- (BOOL)unregisterAndReturnError:(NSError**)error
{
    return change(error, SMAppServiceStatusNotRegistered);
}

+ (void)openSystemSettingsLoginItems
{
    ++standin::loginItem().settingsOpened;
}

@end
