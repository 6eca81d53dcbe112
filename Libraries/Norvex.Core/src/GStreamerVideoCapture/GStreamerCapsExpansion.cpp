#include "GStreamerVideoCapture/GStreamerCapsExpansion.h"

#include <iterator>

namespace Norvex::Core::GStreamerVideoCapture
{
namespace
{

// The values a field stands for: a list gives each of its members, a range its two end points,
// anything else itself. A missing field gives one unset value, so the field stays missing.
std::vector<GStreamerValue> ExpandField(const GstStructure* structure, const char* field)
{
    std::vector<GStreamerValue> values;
    const GValue* value = gst_structure_get_value(structure, field);
    auto addInt = [&values](int number)
    {
        GStreamerValue end;
        g_value_init(end.Get(), G_TYPE_INT);
        g_value_set_int(end.Get(), number);
        values.push_back(std::move(end));
    };
    auto addEnds = [&](const GValue* member)
    {
        if (GST_VALUE_HOLDS_INT_RANGE(member))
        {
            const int ends[] = {gst_value_get_int_range_min(member), gst_value_get_int_range_max(member)};
            addInt(ends[0]);
            if (ends[1] != ends[0])
            {
                addInt(ends[1]);
            }
        }
        else if (GST_VALUE_HOLDS_FRACTION_RANGE(member))
        {
            const GValue* ends[] = {gst_value_get_fraction_range_min(member),
                                    gst_value_get_fraction_range_max(member)};
            values.emplace_back(ends[0]);
            if (gst_value_compare(ends[0], ends[1]) != GST_VALUE_EQUAL)
            {
                values.emplace_back(ends[1]);
            }
        }
        else
        {
            values.emplace_back(member);
        }
    };
    if (!value)
    {
        values.emplace_back();
    }
    else if (GST_VALUE_HOLDS_LIST(value) || GST_VALUE_HOLDS_ARRAY(value))
    {
        const guint size =
            GST_VALUE_HOLDS_LIST(value) ? gst_value_list_get_size(value) : gst_value_array_get_size(value);
        for (guint i = 0; i < size; ++i)
        {
            addEnds(GST_VALUE_HOLDS_LIST(value) ? gst_value_list_get_value(value, i)
                                                : gst_value_array_get_value(value, i));
        }
    }
    else
    {
        addEnds(value);
    }
    return values;
}

void ExpandStructure(const GstStructure* structure, const GstCapsFeatures* features,
                     std::vector<GStreamerHandle<GstCaps>>& out)
{
    static constexpr const char* fields[] = {"format", "width", "height", "framerate"};
    std::vector<GStreamerValue> values[std::size(fields)];
    for (std::size_t i = 0; i < std::size(fields); ++i)
    {
        values[i] = ExpandField(structure, fields[i]);
    }
    std::size_t index[std::size(fields)] = {};
    for (;;)
    {
        auto combination = Own(gst_structure_copy(structure));
        for (std::size_t i = 0; i < std::size(fields); ++i)
        {
            const GStreamerValue& value = values[i][index[i]];
            if (value.IsSet())
            {
                gst_structure_set_value(combination.get(), fields[i], value.Get());
            }
        }
        gst_structure_fixate(combination.get());
        auto caps = Own(gst_caps_new_empty());
        // The caps take the structure and the features over.
        gst_caps_append_structure_full(caps.get(), combination.release(),
                                       features ? gst_caps_features_copy(features) : nullptr);
        out.push_back(std::move(caps));
        // Odometer over the fields, the last one fastest.
        std::size_t i = std::size(fields);
        while (i > 0 && ++index[i - 1] == values[i - 1].size())
        {
            index[--i] = 0;
        }
        if (i == 0)
        {
            break;
        }
    }
}

} // namespace

std::vector<GStreamerHandle<GstCaps>> GStreamerCapsExpansion::Expand(const GstCaps* caps)
{
    std::vector<GStreamerHandle<GstCaps>> combinations;
    for (guint i = 0; i < gst_caps_get_size(caps); ++i)
    {
        const GstCapsFeatures* features = gst_caps_get_features(caps, i);
        if (features && !gst_caps_features_is_any(features) &&
            !gst_caps_features_is_equal(features, GST_CAPS_FEATURES_MEMORY_SYSTEM_MEMORY))
        {
            continue;
        }
        ExpandStructure(gst_caps_get_structure(caps, i), features, combinations);
    }
    return combinations;
}

} // namespace Norvex::Core::GStreamerVideoCapture
