---
materialization: materialized_view
tags: [marts, customers]
macros: [cents_to_dollars]
---
select customer_id,
       cents_to_dollars(lifetime_value * 100) as lifetime_dollars,
       case when lifetime_value >= {{ vip_threshold }} then 'vip' else 'regular' end as segment
from ref('customers')
