#include "tools/testmarket/resultpage.h"

#include <string_view>

namespace tw::test {

namespace {

constexpr std::string_view kStartMarker = "{\"p4pTags";

// Deterministic stand-ins for the fields a real listing carries, so that the
// page has the size and byte mix of a real one.
const char* const kPlaces[] = {"浙江 杭州", "广东 深圳", "上海", "江苏 苏州", "北京", "福建 厦门"};
const char* const kShops[] = {"数码小店", "老王二手", "星辰电子", "安心回收", "城南杂货铺"};

std::string num(long long n)
{
    return std::to_string(n);
}

void appendIcon(std::string& out, const std::string& id, int n)
{
    out += "{\"title\":\"服务保障";
    out += num(n);
    out += "\",\"dom_class\":\"icon-service-";
    out += num(n);
    out += "\",\"position\":\"";
    out += num(n % 3);
    out += "\",\"show_type\":\"0\",\"icon_category\":\"item\",\"outer_text\":\"0\","
           "\"html\":\"\",\"icon_key\":\"icon-service-";
    out += num(n);
    out += "\",\"trace\":\"svc\",\"traceIdx\":";
    out += num(n);
    out += ",\"innerText\":\"已认证\",\"url\":\"//help.example.com/service.htm?nid=";
    out += id;
    out += "\"}";
}

void appendItem(std::string& out, const MarketItem& item, int index)
{
    const std::string& id = item.id;
    out += kStartMarker;
    out += "\":[],\"nid\":\"";
    out += id;
    out += "\",\"category\":\"";
    out += num(50010 + index % 17);
    out += "\",\"pid\":\"\",\"title\":\"<span class=H>";
    out += item.title;
    out += "</span>\",\"raw_title\":\"";
    out += item.title;
    out += "\",\"pic_url\":\"//img.example.com/photos/p";
    out += num(index % 4 + 1);
    out += "/";
    out += id;
    out += "/ph_";
    out += num(index);
    out += ".jpg\",\"detail_url\":\"//item.example.com/item.htm?id=";
    out += id;
    out += "&ns=1&grp=";
    out += num(index % 20);
    out += "\",\"view_price\":\"";
    out += num(99 + index * 7);
    out += ".00\",\"view_fee\":\"0.00\",\"item_loc\":\"";
    out += kPlaces[index % std::size(kPlaces)];
    out += "\",\"view_sales\":\"";
    out += num(index % 9);
    out += "人付款\",\"comment_count\":\"";
    out += num(index * 3 % 41);
    out += "\",\"user_id\":\"";
    out += num(2200000000LL + index * 7919);
    out += "\",\"nick\":\"";
    out += kShops[index % std::size(kShops)];
    out += "\",\"shopcard\":{\"levelClasses\":[{\"levelClass\":\"level-badge\"},"
           "{\"levelClass\":\"level-badge\"}],\"isMall\":false,\"delivery\":[483,1,"
           "2917],\"description\":[487,1,1735],\"service\":[485,1,2129],\"encryptedUserId\":"
           "\"u7Hq2kT9";
    out += num(index);
    out += "\",\"sellerCredit\":14,\"totalRate\":10000},\"icon\":[";
    for (int n = 0; n < 4; ++n) {
        if (n > 0) {
            out += ',';
        }
        appendIcon(out, id, n);
    }
    out += "],\"comment_url\":\"//item.example.com/item.htm?id=";
    out += id;
    out += "&on_comment=1\",\"shopLink\":\"//store.example.com/shop/view_shop.htm?user_number_id=";
    out += num(2200000000LL + index * 7919);
    out += "\",\"risk\":\"\",\"similarTags\":{\"samestyle\":{\"url\":\"\"},\"similar\":{\"url\":"
           "\"/search?type=similar&app=sim&rec_type=1&uniqpid=&nid=";
    out += id;
    out += "\"}},\"sameHeight\":true,\"isHideIM\":false,\"isHideNick\":false,"
           "\"ratingInfo\":{\"ratingStr\":\"{\\\"desc\\\":\\\"4.86\\\",\\\"svc\\\":\\\"4.87\\\","
           "\\\"ship\\\":\\\"4.85\\\",\\\"encryptedUserId\\\":\\\"u7Hq2kT9\\\"}\"}}";
}

void appendNavigation(std::string& out)
{
    out += "\"nav\":{\"status\":\"show\",\"data\":{\"common\":[";
    for (int group = 0; group < 12; ++group) {
        if (group > 0) {
            out += ',';
        }
        out += "{\"text\":\"分类";
        out += num(group);
        out += "\",\"type\":\"normal\",\"show\":true,\"sub\":[";
        for (int n = 0; n < 14; ++n) {
            if (n > 0) {
                out += ',';
            }
            out += "{\"text\":\"选项";
            out += num(n);
            out += "\",\"key\":\"ppath\",\"value\":\"20000:";
            out += num(3000 + group * 100 + n);
            out += "\",\"trace\":\"nav\",\"traceData\":{\"propId\":\"20000\",\"valueId\":\"";
            out += num(3000 + group * 100 + n);
            out += "\",\"propName\":\"品牌\",\"valueName\":\"选项";
            out += num(n);
            out += "\"},\"isChecked\":false}";
        }
        out += "]}";
    }
    out += "]}},";
}

void appendTail(std::string& out)
{
    out += "\"related\":{\"status\":\"show\",\"data\":{\"words\":[";
    for (int n = 0; n < 60; ++n) {
        if (n > 0) {
            out += ',';
        }
        out += "{\"text\":\"相关搜索";
        out += num(n);
        out += "\",\"href\":\"/search?q=related";
        out += num(n);
        out += "&from=rs\",\"trace\":\"relatedSearch\",\"traceIdx\":";
        out += num(n);
        out += "}";
    }
    out +=
        "]}},\"feature\":{\"status\":\"hide\"},\"bottomsearch\":{\"status\":\"show\"},"
        "\"tips\":{\"status\":\"hide\"},\"apasstips\":{\"status\":\"hide\"}},"
        "\"mainInfo\":{\"currentUrl\":\"/search\",\"modLinks\":{\"filter\":\"/search?filter=1\","
        "\"default\":\"/search\",\"nav\":\"/search?nav=1\"},\"global\":{\"q\":\"\","
        "\"encode_q\":\"\",\"utf8_q\":\"\",\"cat\":\"\",\"s\":\"0\",\"tnk\":\"\",\"bucket\":\"\","
        "\"style\":\"grid\",\"origin\":\"demo_20261207\",\"machine\":\"node-01\","
        "\"buckets\":\"10,11,12,13\"},\"traceInfo\":{\"pvStat\":\"\",\"traceData\":{";
    for (int n = 0; n < 40; ++n) {
        if (n > 0) {
            out += ',';
        }
        out += "\"trace_key_";
        out += num(n);
        out += "\":\"";
        for (int k = 0; k < 6; ++k) {
            out += num(1234567 + n * 31 + k);
            out += k < 5 ? "," : "";
        }
        out += "\"";
    }
    out += "}}},\"feature\":{\"webpOff\":false,\"retinaOff\":false,\"shopcardOff\":true}};\n"
           "page_ready();\n</script>\n</body>\n</html>\n";
}

} // namespace

std::string renderResultPage(std::span<const MarketItem> items, int offset, int totalItems)
{
    std::string out;
    out.reserve(40000 + items.size() * 2600);
    out +=
        "<!DOCTYPE html>\n<html>\n<head>\n<meta charset=\"utf-8\">\n<title>搜索结果</title>\n"
        "</head>\n<body>\n<div id=\"page\"></div>\n<script>\n"
        "g_page_config = {\"pageName\":\"resultlist\",\"mods\":{\"header\":{\"status\":\"show\","
        "\"data\":{\"q\":\"\",\"tabParams\":{\"js\":\"1\",\"stats_click\":\"search_radio_all:1\","
        "\"origin\":\"demo_20261207\"},\"dropdown\":[{\"url\":\"\",\"text\":\"商品\","
        "\"type\":\"item\"},{\"url\":\"/search?app=shops\",\"text\":\"店铺\","
        "\"type\":\"shop\"}]}},";
    appendNavigation(out);
    out += "\"sortbar\":{\"status\":\"show\",\"data\":{\"price\":{\"rank\":\"\"},\"pager\":{"
           "\"pageSize\":40,\"totalPage\":";
    out += num((totalItems + 39) / 40);
    out += ",\"currentPage\":";
    out += num(offset / 40 + 1);
    out += ",\"totalCount\":";
    out += num(totalItems);
    out +=
        "}}},\"itemlist\":{\"status\":\"show\",\"data\":{\"postFeeText\":\"运费\",\"auctions\":[";
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i > 0) {
            out += ',';
        }
        appendItem(out, items[i], offset + static_cast<int>(i));
    }
    out +=
        "],\"recommendAuctions\":null,\"isSameStyleView\":false,\"sellers\":[],\"query\":\"\"}},";
    appendTail(out);
    return out;
}

std::string truncateResultPage(const std::string& page)
{
    const std::size_t last = page.rfind(kStartMarker);
    if (last == std::string::npos) {
        return page.substr(0, page.size() / 2);
    }
    // Well inside the block: past the id and the title, short of the end marker.
    const std::size_t shopLink = page.find(",\"shopLink", last);
    const std::size_t cut = shopLink == std::string::npos ? page.size() : shopLink - 40;
    return page.substr(0, cut);
}

} // namespace tw::test
