// The stand-in SMAppService: the main application's login item as the test
// sets it in standin::loginItem().

#include "standin.h"

#import <Foundation/Foundation.h>
#import <ServiceManagement/ServiceManagement.h>

namespace standin {

LoginItem& loginItem()
{
    static LoginItem item;
    return item;
}

} // namespace standin

namespace {

// What a failed call hands back, autoreleased as the framework's errors are.
BOOL failWith(NSString* description, NSError** error)
{
    if (error) {
        *error = [NSError errorWithDomain:@"SMAppServiceErrorDomain"
                                     code:1
                                 userInfo:[NSDictionary dictionaryWithObject:description
                                                                      forKey:NSLocalizedDescriptionKey]];
    }
    return NO;
}

BOOL answer(NSError** error, long statusAfter)
{
    standin::LoginItem& item = standin::loginItem();
    if (!item.failure.empty()) {
        NSString* description = [NSString stringWithUTF8String:item.failure.c_str()];
        item.failure.clear();
        return failWith(description, error);
    }
    item.status = statusAfter;
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
    if (item.askUser) {
        item.askUser = false;
        item.status = SMAppServiceStatusRequiresApproval;
        return failWith(@"Operation not permitted", error);
    }
    return answer(error, SMAppServiceStatusEnabled);
}

- (BOOL)unregisterAndReturnError:(NSError**)error
{
    return answer(error, SMAppServiceStatusNotRegistered);
}

+ (void)openSystemSettingsLoginItems
{
    ++standin::loginItem().settingsOpened;
}

@end
