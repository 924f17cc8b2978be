---
materialization: materialized_view
tags: [marts, customers]
macros: [cents_to_dollars]
---
select customer_id,
       case when lifetime_value >= {{ vip_threshold }} then 'vip' else 'regular' end as segment
from ref('customers')
